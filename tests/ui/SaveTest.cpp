// The Save command: the file dialog, the bytes written, the messages, targets that are slow or
// never take their bytes, and what a save that fails or is cancelled leaves on the disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/userfaultfd.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "tests/capture/ScriptedPort.h"
#include "tests/platform/framework/textarea/ScopedLocale.h"
#include "tests/support/Files.h"
#include "tests/support/Instrument.h"
#include "tests/support/Process.h"
#include "tests/support/Wait.h"
#include "tests/support/Window.h"
#include "ui/CaptureDlg.h"

namespace {

// How the user answers what one press of Save brings up, and what they saw. Windows are answered
// by kind as they come up, since the progress window comes up only when a save takes a while.
struct User {
    // Typed into the file dialog each time it comes up (again after a declined create prompt);
    // when they run out, the dialog is cancelled.
    std::vector<std::string> names;
    // Answers to the create prompts, in order; Yes once they run out.
    std::vector<bool> creates;
    // Called when the progress window comes up; it is left to run when there is none.
    std::function<void(QWidget*)> onProgress;

    // The file dialog as it first came up.
    std::string acceptMode;  // "save" or "open"
    QStringList filters;
    std::string selectedFilter;
    std::string defaultSuffix;
    std::string initialName;
    int fileDialogs = 0;
    std::vector<std::string> prompts;
    int progressWindows = 0;
    std::vector<std::string> messages;  // the results
    std::string messageTitle;
};

// Presses Save (through the command) and answers as user says; returns when the command has
// finished.
void Save(CCaptureDlg& dlg, User& user) {
    const std::shared_ptr<int> answering = AnswerEachModal(
        [&user](QWidget* modal) {
            if (auto* files = qobject_cast<QFileDialog*>(modal)) {
                auto* edit = files->findChild<QLineEdit*>("fileNameEdit");
                ASSERT_NE(edit, nullptr);
                if (user.fileDialogs == 0) {
                    user.acceptMode =
                        files->acceptMode() == QFileDialog::AcceptSave ? "save" : "open";
                    user.filters = files->nameFilters();
                    user.selectedFilter = files->selectedNameFilter().toStdString();
                    user.defaultSuffix = files->defaultSuffix().toStdString();
                    user.initialName = edit->text().toStdString();
                }
                const std::size_t turn = static_cast<std::size_t>(user.fileDialogs++);
                if (turn >= user.names.size()) {
                    QTimer::singleShot(0, files, &QDialog::reject);
                    return;
                }
                edit->setText(QString::fromStdString(user.names[turn]));
                QTimer::singleShot(0, files, &QDialog::accept);
            } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                if (QAbstractButton* yes = box->button(QMessageBox::Yes)) {
                    const std::size_t turn = user.prompts.size();
                    const bool create = turn >= user.creates.size() || user.creates[turn];
                    user.prompts.push_back(box->text().toStdString());
                    QTimer::singleShot(0, create ? yes : box->button(QMessageBox::No),
                                       &QAbstractButton::click);
                } else {
                    EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
                    user.messages.push_back(box->text().toStdString());
                    user.messageTitle = box->windowTitle().toStdString();
                    QTimer::singleShot(0, box, &QDialog::accept);
                }
            } else if (modal->findChild<QProgressBar*>()) {
                ++user.progressWindows;
                if (user.onProgress) {
                    user.onProgress(modal);
                }
            } else {
                ADD_FAILURE() << "an unexpected window: " << modal->metaObject()->className();
                QTimer::singleShot(0, modal, &QWidget::close);
            }
        },
        Widget(dlg), 60000);
    dlg.OnSave();
}

// One save of a name that needs no further answer, with its one result.
std::string SaveAs(CCaptureDlg& dlg, const std::string& path) {
    User user;
    user.names = {path};
    Save(dlg, user);
    EXPECT_EQ(user.messages.size(), 1u);
    return user.messages.empty() ? std::string() : user.messages.back();
}

// Counts the paints of a widget.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count() const { return m_count; }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++m_count;
        }
        return false;
    }

private:
    int m_count = 0;
};

constexpr char kIncomplete[] = "File write error. The saved file is incomplete.";

// A file system of its own, of a few kilobytes, mounted for the life of the object: a disk that
// fills up. Needs root (or the right to mount); ready() says whether it could be had.
class SmallDisk {
public:
    SmallDisk(const std::string& at, int kilobytes) : m_path(at) {
        const std::string size = "size=" + std::to_string(kilobytes) + "k";
        m_ready = mkdir(at.c_str(), 0755) == 0 &&
                  mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, size.c_str()) == 0;
    }
    ~SmallDisk() {
        if (m_ready) {
            umount2(m_path.c_str(), MNT_DETACH);
        }
    }
    bool ready() const { return m_ready; }

private:
    std::string m_path;
    bool m_ready = false;
};

// Whether this process has a descriptor open on a file of the file system at path, one without
// a name among them.
bool HoldsAFileOn(const std::string& path) {
    struct stat disk;
    if (stat(path.c_str(), &disk) != 0) {
        return false;
    }
    bool holds = false;
    ForEachDescriptor(0, [&](int fd, const std::string&) {
        // Through the descriptor's own link, which reaches a file that has no name.
        struct stat st;
        holds = holds || (stat(("/proc/self/fd/" + std::to_string(fd)).c_str(), &st) == 0 &&
                          st.st_dev == disk.st_dev);
    });
    return holds;
}

// Memory whose pages are taken away until Release gives them back: a write that reads from it
// waits in the kernel meanwhile, as a write to a slow disk does, and gets the same bytes after.
// Built on userfaultfd (non-blocking: without it, poll on it reports only an error); ready()
// says whether it could be had.
class HeldPages {
public:
    HeldPages(void* begin, std::size_t size) {
        const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
        const std::uintptr_t from =
            (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1);
        const std::uintptr_t to = (reinterpret_cast<std::uintptr_t>(begin) + size) & ~(page - 1);
        m_length = to > from ? to - from : 0;
        m_start = from;
        m_copy =
            mmap(nullptr, m_length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        m_fd = static_cast<int>(syscall(SYS_userfaultfd, O_CLOEXEC | O_NONBLOCK));
        uffdio_api api{};
        api.api = UFFD_API;
        uffdio_register area{};
        area.range = {m_start, m_length};
        area.mode = UFFDIO_REGISTER_MODE_MISSING;
        if (m_length == 0 || m_copy == MAP_FAILED || m_fd < 0 ||
            ioctl(m_fd, UFFDIO_API, &api) != 0 || ioctl(m_fd, UFFDIO_REGISTER, &area) != 0) {
            return;
        }
        memcpy(m_copy, reinterpret_cast<void*>(m_start), m_length);
        m_ready = madvise(reinterpret_cast<void*>(m_start), m_length, MADV_DONTNEED) == 0;
        m_server = std::thread([this] { Serve(); });
    }
    ~HeldPages() {
        Release();
        if (m_server.joinable()) {
            m_server.join();
        }
        if (m_fd >= 0) {
            uffdio_range range{m_start, m_length};
            ioctl(m_fd, UFFDIO_UNREGISTER, &range);
            close(m_fd);
        }
        if (m_copy != MAP_FAILED) {
            munmap(m_copy, m_length);
        }
    }
    bool ready() const { return m_ready; }
    // Whether something has tried to read the pages.
    bool Touched() const { return m_touched; }
    void Release() { m_released = true; }

private:
    // Notes the first read, and puts every page back once released.
    void Serve() {
        pollfd fault{m_fd, POLLIN, 0};
        while (!m_released) {
            uffd_msg message;
            if (poll(&fault, 1, 10) > 0 && read(m_fd, &message, sizeof message) == sizeof message &&
                message.event == UFFD_EVENT_PAGEFAULT) {
                m_touched = true;
            }
        }
        uffdio_copy copy{};
        copy.dst = m_start;
        copy.src = reinterpret_cast<std::uintptr_t>(m_copy);
        copy.len = m_length;
        ioctl(m_fd, UFFDIO_COPY, &copy);
    }

    std::uintptr_t m_start = 0;
    std::size_t m_length = 0;
    void* m_copy = MAP_FAILED;
    int m_fd = -1;
    bool m_ready = false;
    std::atomic<bool> m_touched{false};
    std::atomic<bool> m_released{false};
    std::thread m_server;
};

// The names in a folder, so that nothing left beside a file goes unseen.
std::vector<std::string> Listing(const std::string& dir) {
    std::vector<std::string> names;
    for (const QString& name :
         QDir(QString::fromStdString(dir))
             .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        names.push_back(name.toStdString());
    }
    return names;
}

class SaveTest : public ::testing::Test {
protected:
    void SetUp() override {
        scripted::Reset();
        char pattern[] = "/tmp/kavosen-save-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        scripted::Reset();
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }

    // Opens the window, runs one capture of what the script sends, then body.
    void AfterCapture(const std::function<void(CCaptureDlg&)>& body) {
        WithWindow([&](CCaptureDlg& dlg) {
            if (Capture(dlg)) {
                body(dlg);
            }
        });
    }

    // Runs a capture of what the script sends next; whether it completed.
    static bool Capture(CCaptureDlg& dlg) {
        dlg.OnReceive();
        const bool ended = WaitUntil([&] { return dlg.m_btnSave.IsWindowEnabled(); }, 60000) &&
                           WaitUntil([&] { return dlg.m_bReceiving == 0; });
        EXPECT_TRUE(ended);
        return ended;
    }

    // A capture of size bytes, every value but Ctrl-Z.
    static std::string PushPayload(std::size_t size) {
        const std::string payload = RandomPayload(size, 11);
        for (std::size_t i = 0; i < payload.size(); i += 256) {
            scripted::PushData(payload.substr(i, 256));
        }
        return payload + std::string(1, '\0');  // ended by silence
    }

    std::string dir;
};

}  // namespace

TEST_F(SaveTest, CaptureEndedBySilenceSavesItsBytesAndTheClosingZero) {
    scripted::PushData("ABC");
    AfterCapture([&](CCaptureDlg& dlg) {
        User user;
        user.names = {dir + "/abc.txt"};
        Save(dlg, user);
        EXPECT_EQ(ReadFile(dir + "/abc.txt"), std::string("ABC\0", 4));
        EXPECT_EQ(user.messages, std::vector<std::string>{"Save complete."});
        EXPECT_EQ(user.messageTitle, std::string(AfxGetAppName()));
        ASSERT_EQ(user.prompts.size(), 1u);
        EXPECT_NE(user.prompts[0].find("abc.txt"), std::string::npos) << user.prompts[0];
        EXPECT_EQ(user.acceptMode, "save");
        EXPECT_EQ(user.defaultSuffix, "txt");
        EXPECT_EQ(user.initialName, "");
        ASSERT_EQ(user.filters.size(), 2);
        EXPECT_EQ(user.filters[0].left(17).toStdString(), "Text files(*.txt)");
        EXPECT_EQ(user.filters[1].left(14).toStdString(), "All files(*.*)");
        EXPECT_EQ(user.selectedFilter.substr(0, 17), "Text files(*.txt)");
        // Still enabled: the same capture can be saved again.
        EXPECT_TRUE(dlg.m_btnSave.IsWindowEnabled());
    });
}

TEST_F(SaveTest, CtrlZIsSavedAsZeroWithTheBytesAfterIt) {
    scripted::PushData(
        "AB\x1A"
        "CD");
    AfterCapture([&](CCaptureDlg& dlg) {
        const std::string path = dir + "/ctrlz.txt";
        SaveAs(dlg, path);
        EXPECT_EQ(ReadFile(path), std::string("AB\0CD", 5));
    });
}

TEST_F(SaveTest, SavingAgainReplacesTheFileWithoutAsking) {
    scripted::PushData("new");
    AfterCapture([&](CCaptureDlg& dlg) {
        std::string path = dir + "/again.txt";
        WriteFile(path, "a much longer old content that must go");
        for (int round = 0; round < 2; ++round) {
            User user;
            user.names = {path};
            Save(dlg, user);
            // An existing file: no create prompt and no overwrite prompt, straight to the result.
            EXPECT_EQ(user.prompts.size(), 0u);
            EXPECT_EQ(user.messages, std::vector<std::string>{"Save complete."});
            EXPECT_EQ(ReadFile(path), std::string("new\0", 4));
        }
    });
}

TEST_F(SaveTest, NameWithoutExtensionGainsTxt) {
    scripted::PushData("ext");
    AfterCapture([&](CCaptureDlg& dlg) {
        EXPECT_EQ(SaveAs(dlg, dir + "/noext"), "Save complete.");
        EXPECT_EQ(ReadFile(dir + "/noext.txt"), std::string("ext\0", 4));
        EXPECT_NE(access((dir + "/noext").c_str(), F_OK), 0);
    });
}

TEST_F(SaveTest, DecliningTheCreatePromptKeepsTheDialogOpen) {
    scripted::PushData("keep");
    AfterCapture([&](CCaptureDlg& dlg) {
        User user;
        const std::string declined = dir + "/declined.txt";
        const std::string accepted = dir + "/accepted.txt";
        user.names = {declined, accepted};
        user.creates = {false, true};
        Save(dlg, user);
        EXPECT_EQ(user.fileDialogs, 2);
        EXPECT_EQ(user.prompts.size(), 2u);
        EXPECT_NE(access(declined.c_str(), F_OK), 0);
        EXPECT_EQ(ReadFile(accepted), std::string("keep\0", 5));
        EXPECT_EQ(user.messages, std::vector<std::string>{"Save complete."});
    });
}

TEST_F(SaveTest, CancelInTheDialogDoesNothing) {
    scripted::PushData("cancel");
    AfterCapture([&](CCaptureDlg& dlg) {
        User user;  // no name: the dialog is cancelled
        Save(dlg, user);
        RunEventsFor(300);
        EXPECT_EQ(user.fileDialogs, 1);
        EXPECT_EQ(user.prompts.size() + user.messages.size(), 0u);
        EXPECT_TRUE(dlg.m_btnSave.IsWindowEnabled());
    });
}

// The name typed is the file written, in the C locale (whose code page holds no character
// beyond ASCII) as in a UTF-8 one: names that differ only in such characters stay apart, an
// existing file is the one replaced, and a folder of such a name is found.
TEST_F(SaveTest, NamesAreSavedAsTypedInAnyLocale) {
    for (const char* locale : {"C", "C.UTF-8"}) {
        SCOPED_TRACE(locale);
        ScopedLocale scoped(locale);
        ASSERT_TRUE(scoped.ok());
        const std::string folder = dir + "/" + locale + " 測定データ";
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        WriteFile(folder + "/既存.bin", "what was there before");
        scripted::Reset();
        scripted::PushData("Tokyo");
        AfterCapture([&](CCaptureDlg& dlg) {
            EXPECT_EQ(SaveAs(dlg, folder + "/東京.bin"), "Save complete.");
            EXPECT_EQ(SaveAs(dlg, folder + "/既存.bin"), "Save complete.");
            scripted::PushData("Osaka");
            ASSERT_TRUE(Capture(dlg));
            EXPECT_EQ(SaveAs(dlg, folder + "/大阪.bin"), "Save complete.");
        });
        EXPECT_EQ(ReadFile(folder + "/東京.bin"), std::string("Tokyo\0", 6));
        EXPECT_EQ(ReadFile(folder + "/大阪.bin"), std::string("Osaka\0", 6));
        EXPECT_EQ(ReadFile(folder + "/既存.bin"), std::string("Tokyo\0", 6));
        EXPECT_EQ(QDir(QString::fromStdString(folder)).entryList(QDir::Files).size(), 3);
    }
}

TEST_F(SaveTest, PathsThatCannotBeOpenedSayFileOpenError) {
    scripted::PushData("nowhere");
    AfterCapture([&](CCaptureDlg& dlg) {
        EXPECT_EQ(SaveAs(dlg, dir + "/missing/x.txt"), "File open error.");

        // A read-only file, in a folder where the user could put a new file in its place.
        // Permission bits do not stop root, so the save runs as a user.
        const uid_t saved = geteuid();
        const uid_t user = saved == 0 ? 65534 : saved;
        const std::string own = dir + "/own";
        ASSERT_EQ(mkdir(own.c_str(), 0755), 0);
        ASSERT_EQ(chown(own.c_str(), user, user), 0);
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        const std::string readOnly = own + "/readonly.txt";
        WriteFile(readOnly, "old");
        ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
        ASSERT_EQ(seteuid(user), 0);
        const std::string denied = SaveAs(dlg, readOnly);
        ASSERT_EQ(seteuid(saved), 0);
        EXPECT_EQ(denied, "File open error.");
        EXPECT_EQ(ReadFile(readOnly), "old");
        EXPECT_EQ(Listing(own), std::vector<std::string>{"readonly.txt"});

        // A name longer than the file system takes: the user agrees to create it and is told.
        User tooLong;
        tooLong.names = {dir + "/" + std::string(300, 'n') + ".txt"};
        Save(dlg, tooLong);
        EXPECT_EQ(tooLong.prompts.size(), 1u);
        EXPECT_EQ(tooLong.messages, std::vector<std::string>{"File open error."});

        // A FIFO nobody reads would keep the open waiting for a reader for good.
        const std::string fifo = dir + "/fifo.bin";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        EXPECT_EQ(SaveAs(dlg, fifo), "File open error.");

        // The capture can still be saved, elsewhere.
        EXPECT_TRUE(dlg.m_btnSave.IsWindowEnabled());
        std::string good = dir + "/good.txt";
        EXPECT_EQ(SaveAs(dlg, good), "Save complete.");
        EXPECT_EQ(ReadFile(good), std::string("nowhere\0", 8));
    });
}

// A save that takes a while (here a FIFO whose reader holds back until it has seen the progress
// window) shows its progress in a window of its own while the main window goes on painting, and
// ends complete once the reader takes the bytes.
TEST_F(SaveTest, ASlowSaveShowsItsProgressAndTheWindowKeepsPainting) {
    const std::string capture = PushPayload(1 << 20);
    AfterCapture([&](CCaptureDlg& dlg) {
        const std::string fifo = dir + "/slow.bin";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        const int readEnd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(readEnd, 0);
        ASSERT_EQ(fcntl(readEnd, F_SETFL, 0), 0);
        std::atomic<bool> drain{false};
        std::string received;
        std::thread reader([&] {
            // Not for ever: a save that never shows its progress fails the test, not hangs it.
            for (int waited = 0; !drain && waited < 30000; waited += 10) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            char chunk[65536];
            ssize_t n;
            while ((n = read(readEnd, chunk, sizeof chunk)) > 0) {
                received.append(chunk, static_cast<std::size_t>(n));
            }
        });

        PaintCounter paints(Widget(dlg));
        int paintsBefore = -1;
        int paintsAfter = -1;
        User user;
        user.names = {fifo};
        user.onProgress = [&](QWidget*) {
            paintsBefore = paints.count();
            Widget(dlg)->update();
            QTimer::singleShot(200, [&] {
                paintsAfter = paints.count();
                drain = true;
            });
        };
        Save(dlg, user);
        drain = true;
        reader.join();
        close(readEnd);
        EXPECT_EQ(user.progressWindows, 1);
        EXPECT_GT(paintsAfter, paintsBefore);
        EXPECT_EQ(user.messages, std::vector<std::string>{"Save complete."});
        EXPECT_EQ(received.size(), capture.size());
        EXPECT_TRUE(received == capture);
    });
}

// A write that fails or cannot go on is never reported as complete, and the capture can be saved
// again: a full disk, a reader that goes away (which must not end the program), and a terminal
// nobody reads, whose save the user cancels.
TEST_F(SaveTest, WritesThatCannotFinishSayTheFileIsIncomplete) {
    PushPayload(1 << 20);
    AfterCapture([&](CCaptureDlg& dlg) {
        // Names with an extension of their own, so the dialog adds none.
        const std::string full = dir + "/full.txt";
        ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
        EXPECT_EQ(SaveAs(dlg, full), kIncomplete);

        const std::string fifo = dir + "/gone.bin";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        const int readEnd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(readEnd, 0);
        std::thread reader([&] {
            // Waits for the writer's first bytes, takes some, and goes away.
            pollfd ready{readEnd, POLLIN, 0};
            char chunk[4096];
            while (poll(&ready, 1, 10000) > 0 && read(readEnd, chunk, sizeof chunk) <= 0) {
            }
            close(readEnd);
        });
        EXPECT_EQ(SaveAs(dlg, fifo), kIncomplete);
        reader.join();

        Pty line(Pty::kRaw);  // its far side is never read
        const std::string tty = dir + "/tty.bin";
        ASSERT_EQ(symlink(line.Slave().c_str(), tty.c_str()), 0);
        User user;
        user.names = {tty};
        user.onProgress = [](QWidget* progress) {
            auto* cancel = progress->findChild<QPushButton*>();
            ASSERT_NE(cancel, nullptr);
            QTimer::singleShot(0, cancel, &QAbstractButton::click);
        };
        Save(dlg, user);
        EXPECT_EQ(user.progressWindows, 1);
        EXPECT_EQ(user.messages, std::vector<std::string>{kIncomplete});

        EXPECT_TRUE(dlg.m_btnSave.IsWindowEnabled());
        EXPECT_EQ(SaveAs(dlg, dir + "/good.bin"), "Save complete.");
    });
}

// On a disk too small for the capture, replacing a file leaves it exactly as it was and nothing
// beside it; a new file is not left behind half written. The capture then saves whole elsewhere.
TEST_F(SaveTest, AFullDiskLeavesTheReplacedFileAsItWas) {
    const std::string capture = PushPayload(1 << 20);
    AfterCapture([&](CCaptureDlg& dlg) {
        const std::string disk = dir + "/disk";
        SmallDisk small(disk, 64);
        if (!small.ready()) {
            GTEST_SKIP() << "cannot mount a small file system here (needs root)";
        }
        const std::string old = RandomPayload(40000, 5);
        const std::string yesterday = disk + "/yesterday.bin";
        WriteFile(yesterday, old);

        EXPECT_EQ(SaveAs(dlg, yesterday), kIncomplete);
        const std::string left = ReadFile(yesterday);
        EXPECT_EQ(left.size(), old.size());
        EXPECT_TRUE(left == old) << "the replaced file was changed";

        EXPECT_EQ(SaveAs(dlg, disk + "/today.bin"), kIncomplete);
        EXPECT_EQ(Listing(disk), std::vector<std::string>{"yesterday.bin"});
        EXPECT_FALSE(HoldsAFileOn(disk)) << "a failed save kept a file open";

        const std::string elsewhere = dir + "/today.bin";
        EXPECT_EQ(SaveAs(dlg, elsewhere), "Save complete.");
        EXPECT_TRUE(ReadFile(elsewhere) == capture);
    });
}

// A link is saved through: the file it points at gets the capture, keeps its permissions, and
// the link stays a link.
TEST_F(SaveTest, ALinkIsSavedThroughToItsTarget) {
    scripted::PushData("linked");
    AfterCapture([&](CCaptureDlg& dlg) {
        const std::string target = dir + "/data/results.bin";
        ASSERT_EQ(mkdir((dir + "/data").c_str(), 0755), 0);
        WriteFile(target, "previous results, longer than the capture");
        ASSERT_EQ(chmod(target.c_str(), 0640), 0);
        const std::string link = dir + "/latest.bin";
        ASSERT_EQ(symlink("data/results.bin", link.c_str()), 0);

        EXPECT_EQ(SaveAs(dlg, link), "Save complete.");
        EXPECT_EQ(ReadFile(target), std::string("linked\0", 7));
        struct stat st;
        ASSERT_EQ(lstat(link.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        ASSERT_EQ(stat(target.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(Listing(dir + "/data"), std::vector<std::string>{"results.bin"});
    });
}

// A file the user may write, in a folder where the user may not create one: nothing can be put
// beside it, so it is written in place.
TEST_F(SaveTest, AWritableFileInAFolderClosedToNewFilesIsWrittenInPlace) {
    scripted::PushData("in place");
    AfterCapture([&](CCaptureDlg& dlg) {
        const uid_t saved = geteuid();
        const uid_t user = saved == 0 ? 65534 : saved;
        const std::string closed = dir + "/closed";
        ASSERT_EQ(mkdir(closed.c_str(), 0755), 0);
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        const std::string file = closed + "/shared.bin";
        WriteFile(file, "what another user left");
        ASSERT_EQ(chown(file.c_str(), user, user), 0);
        ASSERT_EQ(chmod(closed.c_str(), saved == 0 ? 0755 : 0555), 0);
        struct stat before;
        ASSERT_EQ(stat(file.c_str(), &before), 0);
        ASSERT_EQ(seteuid(user), 0);
        const std::string result = SaveAs(dlg, file);
        ASSERT_EQ(seteuid(saved), 0);
        EXPECT_EQ(result, "Save complete.");
        EXPECT_EQ(ReadFile(file), std::string("in place\0", 9));
        struct stat after;
        ASSERT_EQ(stat(file.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        chmod(closed.c_str(), 0755);
    });
}

// Cancel while the bytes are on their way to a regular file: the file being replaced is left as it
// was, with nothing beside it.
TEST_F(SaveTest, ACancelledReplaceLeavesTheFileAsItWas) {
    PushPayload(4 << 20);
    AfterCapture([&](CCaptureDlg& dlg) {
        const std::string path = dir + "/kept.bin";
        const std::string old = RandomPayload(40000, 6);
        WriteFile(path, old);
        // The write waits in the middle of the capture, as on a slow disk, until the user has
        // cancelled.
        HeldPages held(dlg.m_pBuffer + (2 << 20), 1 << 20);
        if (!held.ready()) {
            GTEST_SKIP() << "userfaultfd is not available here";
        }
        User user;
        user.names = {path};
        user.onProgress = [&](QWidget* progress) {
            auto* cancel = progress->findChild<QPushButton*>();
            ASSERT_NE(cancel, nullptr);
            QTimer::singleShot(0, cancel, &QAbstractButton::click);
            QTimer::singleShot(100, [&] { held.Release(); });
        };
        Save(dlg, user);
        held.Release();
        EXPECT_TRUE(held.Touched());
        EXPECT_EQ(user.progressWindows, 1);
        EXPECT_EQ(user.messages, std::vector<std::string>{kIncomplete});
        EXPECT_TRUE(ReadFile(path) == old) << "the replaced file was changed";
        EXPECT_EQ(Listing(dir), std::vector<std::string>{"kept.bin"});
    });
}
