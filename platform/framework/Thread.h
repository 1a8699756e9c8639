// Worker threads and pauses.
#pragma once

#include "platform/WinTypes.h"
#include "platform/framework/Messages.h"

using AFX_THREADPROC = UINT (*)(LPVOID);

// A started thread. It deletes itself when its procedure returns: do not keep the pointer.
class CWinThread;

// Starts pfn(pParam) on a new thread at once; null when the thread cannot be made. Priorities
// below THREAD_PRIORITY_NORMAL raise the thread's nice value by 2 over the starter's, a modest
// lowering; a priority that cannot be applied leaves the thread at the starter's. The thread
// gets the default stack; the stack size, creation flags and security attributes are the
// program's 0, 0 and null and are not looked at.
CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam,
                           int nPriority = THREAD_PRIORITY_NORMAL, UINT nStackSize = 0,
                           DWORD dwCreateFlags = 0,
                           LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr);

// Waits until every thread started with AfxBeginThread has ended, carrying out meanwhile the
// window operations they send, so a worker waiting on one is never stranded; the user's input
// waits until it returns. Once it has returned, no such thread touches the program's objects, so
// what the threads used may be destroyed. Window thread only.
void AfxWaitForThreads();

// Suspends the calling thread for at least dwMilliseconds (on a monotonic clock).
void Sleep(DWORD dwMilliseconds);
