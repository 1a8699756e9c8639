// A scripted stand-in for the serial-port module, linked into the capture tests in place of
// the real one: each ReadPort takes the next step of a script (a chunk of bytes, an empty read
// or a failed read), so the capture's edge cases run in milliseconds and exactly repeatably.
// When the script runs out, reads are empty (a silent line) after a short pause.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace scripted {

struct Step {
    int result;         // -1 a failed read, else the byte count (bytes.size())
    std::string bytes;  // at most the count the worker asks for
};

void Reset();
void PushData(const std::string& bytes);
void PushEmpty(int count = 1);
void PushFailure(int count = 1);
// Reads beyond the script: endless data of this generator's chunks instead of silence.
void SetEndless(std::function<std::string()> generator);
// Called on the worker's thread as read number n (1-based) is taken, before it returns.
void SetOnRead(std::function<void(int n)> hook);
// Called on the thread that closes the port, as it closes it.
void SetOnClose(std::function<void()> hook);
void SetOpenResult(int result);
// What OpenPortReason says after an open that SetOpenResult made fail.
constexpr const char kOpenReason[] = "The scripted port refuses to open.";

int OpenCount();
int CloseCount();  // closes of an open port
int ReadCount();
std::string LastOpenPath();
int LastOpenRate();

}  // namespace scripted
