// Keeping a port to one opener, beyond what flock and TIOCEXCL do: a port that any other
// process holds open, or that a terminal program has locked the old way, is busy.
//
// Index: HolderOf, OpenElsewhere, LockFileOf, LiveHolder, TakeLockFile, DropLockFile.
//
// UUCP lock files are how terminal programs (minicom, picocom, screen's kin) and this program
// tell one another that a port is in use: /var/lock/LCK..ttyUSB0 holds the PID of the holder as
// ten ASCII characters and a newline; older UUCP tools wrote it as a 4-byte binary int, which is
// still honoured. A lock file whose process has ended is stale, and is removed by whoever finds it.
//
// Why not QLockFile, which uses the same folder: it reads only its own format (pid, program name
// and host name on three lines) and takes a lock file as stale when the running process's name
// differs from the name recorded there. A lock file that minicom or picocom writes records no
// name, so QLockFile removes the lock of a live picocom (measured: tryLock succeeds against a
// running holder's "      1234\n"), and it cannot read the binary format at all.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/WinTypes.h"

// A process that has the device rdev open, found through /proc/<pid>/fd, leaving out this
// process's own descriptor skip (-1: none); 0 when none is found. Best effort: processes whose
// descriptors this user may not read are skipped, and so a holder that runs as another user goes
// unnoticed.
pid_t HolderOf(dev_t rdev, int skip);

// true when a descriptor of any process but the one given (this process's own fd) refers to the
// same device as fd (HolderOf). Only the device itself counts: the master of a pty, say, is
// another device than its slave.
bool OpenElsewhere(int fd);

// The lock file of the device open on fd: /var/lock/LCK..ttyUSB0; "" when the device has no name.
std::string LockFileOf(int fd);

// The process a lock file names, when it is alive; 0 when there is no lock file, or it names no
// process that runs (stale). A lock file this user may not read is taken as held: -1.
pid_t LiveHolder(const std::string& lockFile);

// Takes the lock file of the device open on fd for this process, removing a stale one first.
// ERROR_SUCCESS with *lockFile its path, or empty when no lock file can be made here (the
// folder is missing or not writable: the port is used without one); ERROR_SHARING_VIOLATION
// when a live process holds the lock.
DWORD TakeLockFile(int fd, std::string* lockFile);

// Removes lockFile when it still names this process. Returns at once.
void DropLockFile(const std::string& lockFile);
