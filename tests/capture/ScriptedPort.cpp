#include "tests/capture/ScriptedPort.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <thread>

#include "port/Port.h"

namespace scripted {
namespace {

std::mutex g_mutex;
std::deque<Step> g_script;
std::function<std::string()> g_endless;
std::function<void(int)> g_onRead;
std::function<void()> g_onClose;
int g_openResult = 1;
bool g_open = false;
std::atomic<int> g_opens{0};
std::atomic<int> g_closes{0};
std::atomic<int> g_reads{0};
std::string g_lastPath;
int g_lastRate = 0;

}  // namespace

void Reset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_script.clear();
    g_endless = nullptr;
    g_onRead = nullptr;
    g_onClose = nullptr;
    g_openResult = 1;
    g_open = false;
    g_opens = 0;
    g_closes = 0;
    g_reads = 0;
    g_lastPath.clear();
    g_lastRate = 0;
}

void PushData(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_script.push_back({static_cast<int>(bytes.size()), bytes});
}

void PushEmpty(int count) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (int i = 0; i < count; ++i) {
        g_script.push_back({0, {}});
    }
}

void PushFailure(int count) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (int i = 0; i < count; ++i) {
        g_script.push_back({-1, {}});
    }
}

void SetEndless(std::function<std::string()> generator) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_endless = std::move(generator);
}

void SetOnRead(std::function<void(int)> hook) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_onRead = std::move(hook);
}

void SetOnClose(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_onClose = std::move(hook);
}

void SetOpenResult(int result) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_openResult = result;
}

int OpenCount() {
    return g_opens;
}
int CloseCount() {
    return g_closes;
}
int ReadCount() {
    return g_reads;
}

std::string LastOpenPath() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lastPath;
}

int LastOpenRate() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lastRate;
}

}  // namespace scripted

using namespace scripted;

int OpenPort(LPCSTR path, int baudRate, int, int, int) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_opens;
    g_lastPath = path;
    g_lastRate = baudRate;
    g_open = g_openResult == 1;
    return g_openResult;
}

LPCSTR OpenPortReason() {
    return scripted::kOpenReason;
}

void DrainPort() {}

int ReadPort(BYTE* buffer, int count) {
    Step step{0, {}};
    std::function<void(int)> hook;
    bool silent = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_script.empty()) {
            step = g_script.front();
            g_script.pop_front();
        } else if (g_endless) {
            step.bytes = g_endless();
            step.result = static_cast<int>(step.bytes.size());
        } else {
            silent = true;
        }
        hook = g_onRead;
    }
    if (silent) {
        // A silent line: keep an idle capture from spinning the test machine.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (step.result > count) {
        step.result = count;
    }
    if (step.result > 0) {
        step.bytes.copy(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(step.result));
    }
    int n = ++g_reads;
    if (hook) {
        hook(n);
    }
    return step.result;
}

void ClosePort() {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_open) {
            return;
        }
        g_open = false;
        ++g_closes;
        hook = g_onClose;
    }
    if (hook) {
        hook();
    }
}
