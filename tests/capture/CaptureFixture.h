// The main window opened for a test, with the scripted port behind it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/capture/ScriptedPort.h"
#include "tests/support/Wait.h"
#include "tests/support/Window.h"
#include "ui/CaptureDlg.h"

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override { scripted::Reset(); }
    void TearDown() override { scripted::Reset(); }

    // Starts a capture as the Receive button does and waits until it has ended.
    static bool CaptureToEnd(CCaptureDlg& dlg, int timeoutMs = 20000);
};
