// The capture at the edges of memory: an allocation that fails while the buffer grows, and the
// bound of the 32-bit counts. Neither may write past the buffer, crash, or lose what was
// captured; the user is told and can still save what there is.
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/capture/CaptureFixture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KAVOSEN_SANITIZED 1
#else
#define KAVOSEN_SANITIZED 0
#endif

namespace {

// The process's mapped address space in bytes.
rlim_t AddressSpace() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) == 0) {
            return static_cast<rlim_t>(std::stoull(line.substr(7))) * 1024;
        }
    }
    return 0;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool AllBytesAre(const CCaptureDlg& dlg, BYTE value) {
    for (int i = 0; i < dlg.m_nLength; ++i) {
        if (dlg.m_pBuffer[i] != value) {
            return false;
        }
    }
    return true;
}

}  // namespace

TEST_F(CaptureTest, OutOfMemoryWhileGrowingEndsTheCaptureWithWhatItHolds) {
    if (KAVOSEN_SANITIZED) {
        GTEST_SKIP() << "sanitizers reserve address space a limit would take away";
    }
    scripted::SetEndless([] { return std::string(256, 'M'); });
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    WithWindow([&](CCaptureDlg& dlg) {
        // Once the worker runs, leave room for about a hundred more blocks only.
        scripted::SetOnRead([&](int n) {
            if (n == 1) {
                rlimit tight = saved;
                tight.rlim_cur = AddressSpace() + 100 * static_cast<rlim_t>(CAPTURE_BLOCK);
                setrlimit(RLIMIT_AS, &tight);
            }
        });
        bool ended = CaptureToEnd(dlg, 120000);
        setrlimit(RLIMIT_AS, &saved);
        ASSERT_TRUE(ended);
        EXPECT_EQ(dlg.m_nLength, dlg.m_nCapacity);
        EXPECT_GT(dlg.m_nCapacity, CAPTURE_BLOCK);
        EXPECT_EQ(dlg.m_nCapacity % CAPTURE_BLOCK, 0);
        EXPECT_TRUE(AllBytesAre(dlg, 'M'));
        std::string text = Text(dlg.m_editText);
        EXPECT_EQ(text.substr(0, 4096), std::string(4096, 'M'));
        EXPECT_TRUE(EndsWith(text, "...and more...\r\n" + std::to_string(dlg.m_nLength) +
                                       " bytes.\r\nOut of memory: the capture stopped here."))
            << text.substr(4096);
        EXPECT_TRUE(dlg.m_btnSave.IsWindowEnabled());
    });
}

TEST_F(CaptureTest, SizeLimitOfTheCountsEndsTheCaptureAtTheLastWholeBlock) {
    if (KAVOSEN_SANITIZED) {
        GTEST_SKIP() << "two gigabytes under a sanitizer's shadow memory is too much";
    }
    scripted::SetEndless([] { return std::string(256, 'L'); });
    WithWindow([](CCaptureDlg& dlg) {
        ASSERT_TRUE(CaptureToEnd(dlg, 600000));
        const int lastWholeBlock = (INT32_MAX / CAPTURE_BLOCK) * CAPTURE_BLOCK;
        EXPECT_EQ(dlg.m_nCapacity, lastWholeBlock);
        EXPECT_EQ(dlg.m_nLength, lastWholeBlock);
        EXPECT_TRUE(AllBytesAre(dlg, 'L'));
        std::string text = Text(dlg.m_editText);
        EXPECT_TRUE(EndsWith(text, "...and more...\r\n" + std::to_string(lastWholeBlock) +
                                       " bytes.\r\nSize limit reached (2 GB): the capture "
                                       "stopped here."))
            << text.substr(4096);
        EXPECT_TRUE(dlg.m_btnSave.IsWindowEnabled());
    });
}
