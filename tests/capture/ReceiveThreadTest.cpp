// The capture worker against a scripted port: how a capture ends, what it stores and shows.
#include <QTimer>
#include <atomic>
#include <string>
#include <vector>

#include "tests/capture/CaptureFixture.h"

namespace {

// Pushes `total` bytes of `fill` in full chunks of 256.
void PushBytes(std::size_t total, char fill) {
    while (total > 0) {
        std::size_t n = total < 256 ? total : 256;
        scripted::PushData(std::string(n, fill));
        total -= n;
    }
}

}  // namespace

TEST_F(CaptureTest, SilenceAfterDataEndsWithClosingZeroAndCount) {
    scripted::PushData("ABC");
    WithWindow([](CCaptureDlg& dlg) {
        ASSERT_TRUE(CaptureToEnd(dlg));
        EXPECT_EQ(Text(dlg.m_editText), "ABC\r\n\r\n...end of data.\r\n4 bytes.");
        EXPECT_EQ(Stored(dlg), std::string("ABC\0", 4));
        EXPECT_TRUE(dlg.m_btnSave.IsWindowEnabled());
        EXPECT_EQ(scripted::CloseCount(), 1);
        // One data read, then exactly six empty ones.
        EXPECT_EQ(scripted::ReadCount(), 7);
        EXPECT_EQ(scripted::LastOpenPath(), "\\\\.\\COM1");
        EXPECT_EQ(scripted::LastOpenRate(), 115200);
    });
}

TEST_F(CaptureTest, CtrlZEndsTheCaptureAndKeepsTheBytesAfterIt) {
    scripted::PushData(
        "AB\x1A"
        "CD");
    scripted::PushData("never read");
    WithWindow([](CCaptureDlg& dlg) {
        ASSERT_TRUE(CaptureToEnd(dlg));
        EXPECT_EQ(Text(dlg.m_editText), "AB\r\n\r\n...end of data.\r\n5 bytes.");
        EXPECT_EQ(Stored(dlg), std::string("AB\0CD", 5));
        EXPECT_EQ(scripted::ReadCount(), 1);
    });
}

TEST_F(CaptureTest, EveryCtrlZInTheEndingChunkBecomesZero) {
    scripted::PushData("x\x1Ay\x1A\x1Az");
    WithWindow([](CCaptureDlg& dlg) {
        ASSERT_TRUE(CaptureToEnd(dlg));
        EXPECT_EQ(Stored(dlg), std::string("x\0y\0\0z", 6));
        EXPECT_EQ(Text(dlg.m_editText), "x\r\n\r\n...end of data.\r\n6 bytes.");
    });
}

TEST_F(CaptureTest, ZeroByteStopsOnlyThePreview) {
    scripted::PushData(std::string("AB\0CD", 5));
    scripted::PushData("EF");
    WithWindow([](CCaptureDlg& dlg) {
        ASSERT_TRUE(CaptureToEnd(dlg));
        EXPECT_EQ(Text(dlg.m_editText), "AB\r\n\r\n...end of data.\r\n8 bytes.");
        EXPECT_EQ(Stored(dlg), std::string("AB\0CDEF\0", 8));
    });
}

TEST_F(CaptureTest, ClosingLineDependsOnTheStoredCount) {
    struct Case {
        std::size_t dataBytes;
        const char* closing;
    };
    for (const Case& c : {Case{4094, "\r\n\r\n...end of data.\r\n4095 bytes."},
                          Case{4095, "\r\n\r\n...and more...\r\n4096 bytes."},
                          Case{5000, "\r\n\r\n...and more...\r\n5001 bytes."}}) {
        scripted::Reset();
        PushBytes(c.dataBytes, 'd');
        WithWindow([&](CCaptureDlg& dlg) {
            ASSERT_TRUE(CaptureToEnd(dlg));
            std::size_t shown = c.dataBytes < 4096 ? c.dataBytes : 4096;
            EXPECT_EQ(Text(dlg.m_editText), std::string(shown, 'd') + c.closing)
                << c.dataBytes << " data bytes";
            EXPECT_EQ(dlg.m_nLength, static_cast<int>(c.dataBytes + 1));
        });
    }
}

TEST_F(CaptureTest, BufferGrowsInWholeBlocks) {
    // 655,360 data bytes and the closing zero need one byte more than the first block.
    PushBytes(CAPTURE_BLOCK, 'g');
    WithWindow([](CCaptureDlg& dlg) {
        EXPECT_EQ(dlg.m_nCapacity, CAPTURE_BLOCK);
        ASSERT_TRUE(CaptureToEnd(dlg, 60000));
        EXPECT_EQ(dlg.m_nLength, CAPTURE_BLOCK + 1);
        EXPECT_EQ(dlg.m_nCapacity, 2 * CAPTURE_BLOCK);
        EXPECT_EQ(Stored(dlg), std::string(CAPTURE_BLOCK, 'g') + std::string(1, '\0'));
    });
}

TEST_F(CaptureTest, ProgressDotsMarkChunksOneFiveAndNineThenAreCleared) {
    for (int i = 0; i < 9; ++i) {
        scripted::PushData("x");
    }
    std::vector<std::string> seen;  // the text as each read is taken
    WithWindow([&](CCaptureDlg& dlg) {
        scripted::SetOnRead([&](int n) {
            if (n <= 10) {
                seen.push_back(Text(dlg.m_editText));
            }
        });
        ASSERT_TRUE(CaptureToEnd(dlg));
        EXPECT_EQ(Text(dlg.m_editText), "xxxxxxxxx\r\n\r\n...end of data.\r\n10 bytes.");
    });
    ASSERT_EQ(seen.size(), 10u);
    const std::string start = "Getting data...\r\n";
    // Read n sees the marks of the n - 1 chunks before it.
    EXPECT_EQ(seen[0], start);
    for (int n = 2; n <= 5; ++n) {
        EXPECT_EQ(seen[n - 1], start + ".") << "read " << n;
    }
    for (int n = 6; n <= 9; ++n) {
        EXPECT_EQ(seen[n - 1], start + "..") << "read " << n;
    }
    EXPECT_EQ(seen[9], start + "...");
}

TEST_F(CaptureTest, EmptyReadsCountOnlyAfterDataAndResetOnData) {
    scripted::PushEmpty(20);  // before the first byte: waited out without limit
    scripted::PushData("A");
    scripted::PushEmpty(5);
    scripted::PushData("B");
    scripted::PushEmpty(5);
    scripted::PushData("C");
    WithWindow([](CCaptureDlg& dlg) {
        ASSERT_TRUE(CaptureToEnd(dlg));
        EXPECT_EQ(Stored(dlg), std::string("ABC\0", 4));
        EXPECT_EQ(scripted::ReadCount(), 20 + 1 + 5 + 1 + 5 + 1 + 6);
    });
}

TEST_F(CaptureTest, CancelWhileWaitingShowsOnlyAbort) {
    WithWindow([](CCaptureDlg& dlg) {
        dlg.OnReceive();
        ASSERT_TRUE(WaitUntil([] { return scripted::ReadCount() > 3; }));
        EXPECT_EQ(Text(dlg.m_btnReceive), "Cancel(&C)");
        EXPECT_FALSE(dlg.m_cmbPort.IsWindowEnabled());
        dlg.OnReceive();  // the button now reads Cancel
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }));
        EXPECT_EQ(Text(dlg.m_editText), "ABORT.\r\n");
        EXPECT_FALSE(dlg.m_btnSave.IsWindowEnabled());
        EXPECT_EQ(dlg.m_bStop, 0);
        EXPECT_EQ(scripted::CloseCount(), 1);
    });
}

TEST_F(CaptureTest, AbortKeepsThePartialCaptureButSaveStaysDisabled) {
    scripted::PushData("partial");
    // Then the line fails (a failed read counts towards no end), so the capture is still
    // running when Cancel comes.
    scripted::PushFailure(100);
    WithWindow([](CCaptureDlg& dlg) {
        dlg.OnReceive();
        ASSERT_TRUE(WaitUntil([] { return scripted::ReadCount() >= 2; }));
        dlg.OnReceive();
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }));
        EXPECT_EQ(Stored(dlg), "partial");
        EXPECT_FALSE(dlg.m_btnSave.IsWindowEnabled());
    });
}

TEST_F(CaptureTest, FailedReadsAreRetriedAndNeverEndTheCapture) {
    scripted::PushFailure(2);
    scripted::PushData("ok");
    std::string during;
    WithWindow([&](CCaptureDlg& dlg) {
        scripted::SetOnRead([&](int n) {
            if (n == 3) {
                during = Text(dlg.m_editText);
            }
        });
        ASSERT_TRUE(CaptureToEnd(dlg));
        EXPECT_EQ(Stored(dlg), std::string("ok\0", 3));
        EXPECT_EQ(Text(dlg.m_editText), "ok\r\n\r\n...end of data.\r\n3 bytes.");
    });
    // The user is told once while the reads fail.
    EXPECT_EQ(during,
              "Getting data...\r\n\r\nPort read error: retrying. Press Cancel to stop.\r\n");
}

TEST_F(CaptureTest, CancelEndsACaptureWhoseReadsKeepFailing) {
    scripted::PushFailure(1000000);
    WithWindow([](CCaptureDlg& dlg) {
        dlg.OnReceive();
        ASSERT_TRUE(WaitUntil([] { return scripted::ReadCount() >= 2; }));
        dlg.OnReceive();
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }, 5000));
        EXPECT_EQ(Text(dlg.m_editText), "ABORT.\r\n");
        // Paced: a dead port is not read in a tight loop.
        EXPECT_LT(scripted::ReadCount(), 20);
    });
}

TEST_F(CaptureTest, LateCancelDoesNotEndTheNextCapture) {
    scripted::PushData("first");
    WithWindow([](CCaptureDlg& dlg) {
        // Cancel pressed while the last read of the capture runs, after the worker's last look.
        scripted::SetOnRead([&](int n) {
            if (n == 7) {
                dlg.m_bStop = 1;
            }
        });
        ASSERT_TRUE(CaptureToEnd(dlg));
        EXPECT_EQ(Stored(dlg), std::string("first\0", 6));
        scripted::SetOnRead(nullptr);
        scripted::PushData("second");
        ASSERT_TRUE(CaptureToEnd(dlg));
        EXPECT_EQ(Text(dlg.m_editText), "second\r\n\r\n...end of data.\r\n7 bytes.");
    });
}

TEST_F(CaptureTest, PortIsClosedBeforeANewCaptureCanStart) {
    scripted::PushData("z");
    WithWindow([](CCaptureDlg& dlg) {
        std::atomic<int> receivingAtClose{-1};
        scripted::SetOnClose([&] { receivingAtClose = dlg.m_bReceiving.load(); });
        ASSERT_TRUE(CaptureToEnd(dlg));
        EXPECT_EQ(receivingAtClose, 1);
    });
}

TEST_F(CaptureTest, CaptureStartedRightAfterAnAbortGetsNoneOfItsTexts) {
    WithWindow([](CCaptureDlg& dlg) {
        dlg.OnReceive();
        ASSERT_TRUE(WaitUntil([] { return scripted::ReadCount() > 2; }));
        // As the aborted capture closes its port, queue a press of Receive: it runs at the
        // first moment the window's thread takes input again.
        bool pressed = false;
        scripted::SetOnClose([&] {
            if (!pressed) {
                pressed = true;
                QTimer::singleShot(0, [&] { dlg.OnReceive(); });
            }
        });
        dlg.OnReceive();
        ASSERT_TRUE(WaitUntil([&] { return scripted::OpenCount() == 2; }));
        ASSERT_TRUE(WaitUntil([&] { return Text(dlg.m_editText) == "Getting data...\r\n"; }));
        RunEventsFor(100);
        EXPECT_EQ(Text(dlg.m_editText), "Getting data...\r\n");
        EXPECT_EQ(dlg.m_bReceiving, 1);
        dlg.OnReceive();
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }));
    });
}

TEST_F(CaptureTest, FailedOpenReportsAndReturnsToIdle) {
    scripted::SetOpenResult(0);
    WithWindow([](CCaptureDlg& dlg) {
        dlg.OnReceive();
        EXPECT_TRUE(Idle(dlg));
        EXPECT_EQ(Text(dlg.m_editText), std::string("COM open error\r\n") + scripted::kOpenReason);
        EXPECT_FALSE(dlg.m_btnSave.IsWindowEnabled());
        EXPECT_EQ(scripted::CloseCount(), 0);
        EXPECT_EQ(scripted::ReadCount(), 0);
    });
}
