// The whole program under test: started as its start-up starts it (the application object's
// InitInstance, which runs the main window modally and destroys it), its main window driven
// offscreen as the user drives it, and what the process holds afterwards.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/support/Checks.h"
#include "tests/support/Files.h"
#include "tests/support/Instrument.h"
#include "tests/support/Process.h"
#include "ui/CaptureDlg.h"

class ProgramTest : public ::testing::Test {
protected:
    enum class CloseBy { Esc, CloseBox };

    // Runs the program. Once its main window is up, body runs within the window's modal loop;
    // then the window is closed with Esc, unless body closed it or queued its closing
    // (CloseLater). Returns the milliseconds from body's return to the program's end (the
    // window closed, its worker waited for, the window destroyed), or -1 when no window came up.
    long long RunProgram(const std::function<void(CCaptureDlg&)>& body);

    // Closes the window as the user does meanwhile: taken as soon as the window's thread turns
    // to its events again (after the command it is running, for instance).
    void CloseLater(CCaptureDlg& dlg, CloseBy how);

    ScopedConfigHome config_;

private:
    bool closeQueued_ = false;
};
