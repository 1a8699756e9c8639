// CFile on a POSIX file descriptor. Every failure is reported through the result; nothing
// throws.
//
// A save never destroys the file it replaces. A regular file (or a new one) is written through
// QSaveFile: the bytes go to a new file beside the target, which is flushed to the disk and only
// then renamed over the target, keeping the target's permissions; a failed write, a failed flush
// or a Cancel removes the new file and leaves the old one as it was. A link is written through
// to the file it points at. Only a folder the user may not create a file in, holding a file the
// user may write, has the file replaced in place (QSaveFile's direct-write fallback). A target
// that is not a regular file (a FIFO, a terminal, a device) is written in place, as nothing can
// be put beside it.
//
// The window's thread never waits on the file, so a save can neither freeze the window for good
// (a FIFO or terminal nobody reads) nor stop it painting for minutes (2 GB onto a slow USB
// stick):
// - Open does not wait. With O_NONBLOCK a FIFO nobody reads fails at once (ENXIO) instead of
//   waiting for a reader that may never come, and a terminal opens without waiting for its
//   carrier; O_NOCTTY keeps a terminal from becoming the program's controlling terminal.
// - Write and the flush at Close make their system calls on a thread of their own
//   (FileProgress::Run). A regular file's bytes are pushed on from the page cache to the device
//   piece by piece as writing goes on, so the progress shown is the device's, Cancel takes effect
//   within a piece, and the flush at Close has little left to do. A FIFO or terminal that takes
//   nothing more for now (EAGAIN) is waited for until it does, or until Cancel.
// - SIGPIPE is blocked on that thread: a reader that goes away fails the write (EPIPE) instead
//   of ending the program. The signal stays pending on the thread and ends with it.
#include "platform/framework/File.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProgressDialog>
#include <QPushButton>
#include <QSaveFile>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <system_error>
#include <thread>

#include "platform/framework/Widgets.h"
#include "platform/framework/WinApp.h"

namespace {

// Bytes handed to the kernel in one write, and pushed on to the device as one piece.
constexpr UINT kPiece = 8 << 20;
// Work that takes longer than this shows the progress window.
constexpr qint64 kProgressAfterMs = 500;
// How often the progress window is brought up to date, and how often a wait for a file that
// takes nothing looks at the cancel request.
constexpr int kTickMs = 100;
constexpr int kBarSteps = 1000;

// A modal window over the main window: the file's name, a bar, and Cancel while it is offered.
// QProgressDialog shows itself once the work has taken, or is bound to take, kProgressAfterMs.
// Cancel, Esc and the close box ask the work to stop, but the window stays until it has
// stopped, so that the main window takes no input while the work still uses what the program
// handed to Write.
class ProgressWindow : public QProgressDialog {
public:
    ProgressWindow(QWidget* owner, const QString& name, std::atomic<bool>* cancelled)
        : QProgressDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                     Qt::WindowCloseButtonHint) {
        setWindowTitle(QString::fromLocal8Bit(AfxGetAppName()));
        setWindowModality(Qt::ApplicationModal);
        auto* label = new QLabel(QStringLiteral("Saving %1").arg(name), this);
        label->setTextFormat(Qt::PlainText);  // a file's name is no markup
        setLabel(label);
        m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
        m_cancel->setAutoDefault(false);
        setCancelButton(m_cancel);
        setAutoReset(false);
        setAutoClose(false);
        setMinimumDuration(static_cast<int>(kProgressAfterMs));
        disconnect(this, &QProgressDialog::canceled, this, &QProgressDialog::cancel);
        connect(this, &QProgressDialog::canceled, this, [this, cancelled] {
            if (m_cancel->isEnabled()) {
                m_cancel->setEnabled(false);  // a cancelled file stays cancelled
                cancelled->store(true);
            }
        });
    }

    // A new piece of work: unless the window is up, setting the bar to its start starts the clock
    // of the half-second rule again.
    void Start(qint64 total) {
        if (!isVisible()) {
            reset();
        }
        SetProgress(0, total);
    }

    // total 0: how far the work has got cannot be told and it cannot be cancelled (a flush);
    // the bar shows only that it goes on. The bar is set only when it changes: setting it to its
    // start again would start the clock again, and a window never shown.
    void SetProgress(qint64 done, qint64 total) {
        const int steps = total > 0 ? kBarSteps : 0;
        if (maximum() != steps) {
            setRange(0, steps);
        }
        if (total <= 0) {
            m_cancel->setEnabled(false);
        }
        const int at = total > 0 ? static_cast<int>(done * kBarSteps / total) : 0;
        if (value() != at) {
            setValue(at);
        }
    }

    // Stops the clock of work that ended before the window came up.
    void Stop() {
        if (!isVisible()) {
            reset();
        }
    }

protected:
    void reject() override { emit canceled(); }

private:
    QPushButton* m_cancel;
};

}  // namespace

// The progress window of one file and its cancel request, and the running of the file's work
// off the calling thread.
class FileProgress {
public:
    explicit FileProgress(const QString& name) : m_name(name) {}

    // Runs work on a thread of its own and returns its result. Meanwhile this thread handles its
    // events, its user input held back until the progress window shows (and takes the input).
    // total: the bytes the work is to write, *done those written so far, and the window offers
    // Cancel meanwhile; done null when how far the work has got cannot be told and it cannot be
    // cancelled (a flush). When no thread can be had, work runs on this thread.
    bool Run(const std::function<bool()>& work, qint64 total, const std::atomic<qint64>* done);

    bool Cancelled() const { return m_cancelled.load(); }

private:
    void Update(qint64 total, const std::atomic<qint64>* done) {
        m_window->SetProgress(done ? done->load() : 0, done ? total : 0);
    }

    QString m_name;
    std::atomic<bool> m_cancelled{false};
    std::unique_ptr<ProgressWindow> m_window;  // until the file is closed
};

bool FileProgress::Run(const std::function<bool()>& work, qint64 total,
                       const std::atomic<qint64>* done) {
    QEventLoop loop;
    std::atomic<bool> finished{false};
    bool result = false;
    std::thread worker;
    try {
        worker = std::thread([&] {
            sigset_t pipeSignal;
            sigemptyset(&pipeSignal);
            sigaddset(&pipeSignal, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
            result = work();
            finished.store(true);
            // By name: a functor would be made here and run on the window's thread through Qt's
            // queue, whose locking ThreadSanitizer cannot see in Debian's Qt.
            QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
        });
    } catch (const std::system_error&) {
        return work();
    }

    if (!m_window) {
        m_window = std::make_unique<ProgressWindow>(MessageBoxOwner(AfxGetMainWnd()), m_name,
                                                    &m_cancelled);
    }
    m_window->Start(done ? total : 0);
    bool takesInput = false;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        Update(total, done);
        if (m_window->isVisible() != takesInput) {
            loop.quit();  // to take input again, now that the window is up
        }
    });
    tick.start(kTickMs);
    while (!finished.load()) {
        takesInput = m_window->isVisible();
        loop.exec(takesInput ? QEventLoop::AllEvents : QEventLoop::ExcludeUserInputEvents);
    }
    worker.join();
    m_window->Stop();
    return result;
}

namespace {

// Waits until fd takes bytes again (or has an error for the next write to report); false when
// the user cancels meanwhile.
bool WaitForRoom(int fd, const FileProgress& progress) {
    pollfd ready{fd, POLLOUT, 0};
    while (!progress.Cancelled()) {
        const int n = ::poll(&ready, 1, kTickMs);
        if (n > 0) {
            return true;
        }
        if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return false;
}

// Only says that this file has no page cache to push (a FIFO, a terminal, /dev/null).
bool CannotBePushed(int error) {
    return error == ESPIPE || error == EINVAL;
}

// Writes count bytes to fd, counting them in written; false on an error or a cancel.
bool WriteAll(int fd, const char* bytes, UINT count, std::atomic<qint64>& written,
              const FileProgress& progress) {
    // Where the next byte goes, for pushing; -1 on a file without positions (a FIFO, a terminal).
    off_t at = ::lseek(fd, 0, SEEK_CUR);
    off_t previousPiece = -1;
    UINT left = count;
    while (left > 0) {
        if (progress.Cancelled()) {
            return false;
        }
        // The kernel may take fewer bytes than asked (a signal, a pipe, a large count).
        const ssize_t n = ::write(fd, bytes, std::min(left, kPiece));
        if (n < 0) {
            if (errno == EINTR || (errno == EAGAIN && WaitForRoom(fd, progress))) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            return false;  // the file takes nothing more, and waiting would not change that
        }
        bytes += n;
        left -= static_cast<UINT>(n);
        written += n;
        if (at < 0) {
            continue;
        }
        // This piece starts on its way to the device; the one before it is waited for, so at
        // most two pieces are in the cache at a time. An error the device reports here fails
        // the write: it may not be reported again at the sync.
        const off_t piece = at;
        at += n;
        if (::sync_file_range(fd, piece, n, SYNC_FILE_RANGE_WRITE) != 0) {
            if (!CannotBePushed(errno)) {
                return false;
            }
            at = -1;
            continue;
        }
        if (previousPiece >= 0 &&
            ::sync_file_range(fd, previousPiece, piece - previousPiece,
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                  SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
            return false;
        }
        previousPiece = piece;
    }
    return true;
}

// Flushes fd to its device; false when that reports an error.
bool Sync(int fd) {
    int synced;
    do {
        synced = ::fsync(fd);
    } while (synced < 0 && errno == EINTR);
    // EINVAL, EROFS and ENOTSUP only say that this file cannot be synced (a device such as a
    // terminal or /dev/null): there is nothing more to do for it, which is no error.
    return synced == 0 || errno == EINVAL || errno == EROFS || errno == ENOTSUP;
}

// Flushes fd to its device and closes it; false when either reports an error.
bool SyncAndClose(int fd) {
    const bool synced = Sync(fd);
    // No retry after EINTR: Linux has released the descriptor by then.
    return ::close(fd) == 0 && synced;
}

}  // namespace

CFile::CFile() = default;

CFile::~CFile() {
    if (!m_save && m_fd >= 0) {
        ::close(m_fd);
    }
    // A save file never committed is removed with m_save.
}

BOOL CFile::Open(LPCSTR lpszFileName, UINT nOpenFlags) {
    if (m_fd >= 0 || lpszFileName == nullptr || nOpenFlags != (modeCreate | modeWrite)) {
        return FALSE;
    }
    // Opened without creating or truncating anything, to learn what the target is and that this
    // user may write it (a read-only or immutable file is refused here, not replaced).
    int fd;
    do {
        fd = ::open(lpszFileName, O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno != ENOENT) {
        return FALSE;
    }
    struct stat target;
    if (fd >= 0 && (::fstat(fd, &target) != 0 || !S_ISREG(target.st_mode))) {
        m_fd = fd;  // not a regular file: written in place
    } else {
        if (fd >= 0) {
            ::close(fd);
        }
        auto save = std::make_unique<QSaveFile>(QFile::decodeName(QByteArray(lpszFileName)));
        save->setDirectWriteFallback(true);
        if (!save->open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
            return FALSE;
        }
        m_fd = save->handle();
        m_save = std::move(save);
    }
    m_failed = false;
    m_progress = std::make_unique<FileProgress>(
        QFileInfo(QFile::decodeName(QByteArray(lpszFileName))).fileName());
    return TRUE;
}

BOOL CFile::Write(const void* lpBuf, UINT nCount) {
    if (m_fd < 0) {
        return FALSE;
    }
    FileProgress& progress = *m_progress;
    const int fd = m_fd;
    const char* bytes = static_cast<const char*>(lpBuf);
    std::atomic<qint64> written{0};
    // The bytes go straight to the descriptor, QSaveFile's too (opened unbuffered, it holds none
    // of its own), so that they can be pushed to the device as they go.
    if (!progress.Run([&] { return WriteAll(fd, bytes, nCount, written, progress); }, nCount,
                      &written)) {
        m_failed = true;
        return FALSE;
    }
    return TRUE;
}

BOOL CFile::Close() {
    if (m_fd < 0) {
        return FALSE;
    }
    const int fd = m_fd;
    m_fd = -1;
    bool ok;
    if (m_save) {
        // A Cancel that came while the last bytes went out still keeps the old file.
        ok = !m_failed && !m_progress->Cancelled() &&
             m_progress->Run([fd] { return Sync(fd); }, 0, nullptr);
        if (!ok) {
            m_save->cancelWriting();  // the new file goes, and the old one stays
        }
        ok = m_save->commit() && ok;
        m_save.reset();
    } else {
        ok = m_progress->Run([fd] { return SyncAndClose(fd); }, 0, nullptr) && !m_failed;
    }
    m_progress.reset();
    return ok ? TRUE : FALSE;
}
