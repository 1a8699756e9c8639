// Waiting in tests: conditions checked while Qt's events keep running, so the window under
// test stays live (and a worker's calls to it are carried out) while a test waits.
#pragma once

#include <functional>
#include <memory>
#include <vector>

// Runs events until pred() holds or timeoutMs pass; returns whether pred() held.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 10000);

// Runs events for ms milliseconds.
void RunEventsFor(int ms);

// Calls fn with the first modal widget that appears within timeoutMs (from a timer, while the
// code under test runs its own modal loop). fn receives a QWidget*.
class QWidget;
void WhenModalAppears(const std::function<void(QWidget*)>& fn, int timeoutMs = 10000);

// Answers the modal widgets that come up one after another (other than `except`, such as the
// main window, itself modal): each new one goes to the next handler. Handlers must not block;
// accept or click through a queued call (QTimer::singleShot(0, ...)) so the code under test
// runs its own modal loop again. Returns a counter of the widgets handled so far.
std::shared_ptr<int> AnswerModals(std::vector<std::function<void(QWidget*)>> handlers,
                                  QWidget* except, int timeoutMs = 20000);
