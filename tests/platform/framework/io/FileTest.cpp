// CFile: bytes land exactly, paths that cannot be written fail to open, and errors of the
// device and of closing are reported.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <thread>

#include "platform/framework/File.h"

namespace {

constexpr UINT kCreateWrite = CFile::modeCreate | CFile::modeWrite;

QByteArray EveryByteValue(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i < 256 ? i : QRandomGenerator::global()->bounded(256));
    }
    return bytes;
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool SetImmutable(int fd, bool on) {
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        return false;
    }
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    return ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
}

// Whether this process still holds a descriptor for the path.
bool HoldsOpen(const QString& path) {
    const QString target = QFileInfo(path).canonicalFilePath();
    for (const QFileInfo& fd : QDir("/proc/self/fd").entryInfoList(QDir::Files | QDir::System)) {
        if (fd.symLinkTarget() == target) {
            return true;
        }
    }
    return false;
}

TEST(CFile, WritesEveryByteExactlyAndReplacesAnExistingFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("capture.txt");
    const QByteArray data = EveryByteValue(1 << 20);
    {
        QFile old(path);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(data.size() + 5000, 'x'));
    }
    CFile file;
    ASSERT_TRUE(file.Open(QFile::encodeName(path), kCreateWrite));
    EXPECT_TRUE(file.Write(data.constData(), 1));
    EXPECT_TRUE(file.Write(data.constData() + 1, 4099));
    EXPECT_TRUE(file.Write(data.constData() + 4100, 0));
    EXPECT_TRUE(file.Write(data.constData() + 4100, data.size() - 4100));
    EXPECT_TRUE(file.Close());
    EXPECT_FALSE(HoldsOpen(path));
    const QByteArray saved = ReadAll(path);
    EXPECT_EQ(saved.size(), data.size());
    EXPECT_TRUE(saved == data);
}

TEST(CFile, OpenFailsWhereNoFileCanBeWritten) {
    QTemporaryDir dir;
    CFile file;
    EXPECT_FALSE(file.Open(QFile::encodeName(dir.filePath("missing/capture.txt")), kCreateWrite));
    EXPECT_FALSE(file.Open(QFile::encodeName(dir.path()), kCreateWrite));
    EXPECT_FALSE(file.Write("A", 1));
    EXPECT_FALSE(file.Close());  // nothing was open
}

TEST(CFile, OpenFailsOnAReadOnlyFileAndLeavesIt) {
    QTemporaryDir dir;
    const QString path = dir.filePath("kept.txt");
    {
        QFile kept(path);
        ASSERT_TRUE(kept.open(QIODevice::WriteOnly));
        kept.write("kept");
    }
    // Permission bits do not stop root, so as root the file is made immutable instead, which
    // stops every user (and needs root to set and clear).
    int immutable = -1;
    if (geteuid() != 0) {
        ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup));
    } else {
        immutable = open(QFile::encodeName(path), O_RDONLY | O_CLOEXEC);
        if (!SetImmutable(immutable, true)) {
            close(immutable);
            GTEST_SKIP() << "this file system cannot make a file immutable";
        }
    }
    CFile file;
    EXPECT_FALSE(file.Open(QFile::encodeName(path), kCreateWrite));
    EXPECT_EQ(ReadAll(path), "kept");
    if (immutable >= 0) {
        SetImmutable(immutable, false);  // else the folder could not be removed
        close(immutable);
    }
}

TEST(CFile, FullDeviceFailsTheWriteAndClosesCleanly) {
    CFile file;
    ASSERT_TRUE(file.Open("/dev/full", kCreateWrite));
    EXPECT_FALSE(file.Write("ABC", 3));
    // A device cannot be synced, which is no error of its own: the write has reported it.
    EXPECT_TRUE(file.Close());
    EXPECT_FALSE(HoldsOpen("/dev/full"));
}

// A disk that takes writes into the cache and fails them when they reach its storage: a loop
// device over a file that is made immutable once attached. Needs root and a free loop device.
class LateFailingDisk {
public:
    explicit LateFailingDisk(const QString& dir) {
        m_backing = open(QFile::encodeName(dir + "/disk.img"), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
        const int number = control >= 0 ? ioctl(control, LOOP_CTL_GET_FREE) : -1;
        if (control >= 0) {
            close(control);
        }
        if (m_backing < 0 || ftruncate(m_backing, 16 << 20) != 0 || number < 0) {
            return;
        }
        m_path = "/dev/loop" + QByteArray::number(number);
        m_loop = open(m_path, O_RDWR | O_CLOEXEC);
        loop_info64 info{};
        info.lo_flags = LO_FLAGS_AUTOCLEAR;  // detached when the test lets go, even by crashing
        m_ready = m_loop >= 0 && ioctl(m_loop, LOOP_SET_FD, m_backing) == 0 &&
                  ioctl(m_loop, LOOP_SET_STATUS64, &info) == 0 && SetImmutable(m_backing, true);
    }
    ~LateFailingDisk() {
        if (m_backing >= 0) {
            SetImmutable(m_backing, false);
            close(m_backing);
        }
        if (m_loop >= 0) {
            close(m_loop);
        }
    }
    bool ready() const { return m_ready; }
    const QByteArray& path() const { return m_path; }

private:
    int m_backing = -1;
    int m_loop = -1;
    QByteArray m_path;
    bool m_ready = false;
};

TEST(CFile, CloseReportsAWriteTheDiskFailsLate) {
    QTemporaryDir dir;
    LateFailingDisk disk(dir.path());
    if (!disk.ready()) {
        GTEST_SKIP() << "needs root and a free loop device";
    }
    CFile file;
    ASSERT_TRUE(file.Open(disk.path(), kCreateWrite));
    const QByteArray data(1 << 20, 'z');
    EXPECT_TRUE(file.Write(data.constData(), static_cast<UINT>(data.size())));  // cached
    EXPECT_FALSE(file.Close());
}

void NoteSignal(int) {}

// A pipe takes a large write in pieces and then nothing until it is read, and signals to the
// process interrupt whatever waits meanwhile: the write goes on until every byte is through, in
// order.
TEST(CFile, WriteWaitsForRoomAndGoesOnThroughSignals) {
    struct sigaction action {};
    struct sigaction saved {};
    action.sa_handler = NoteSignal;  // no SA_RESTART
    sigaction(SIGUSR1, &action, &saved);
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    CFile file;
    ASSERT_TRUE(
        file.Open(QByteArray("/proc/self/fd/") + QByteArray::number(pipeFds[1]), kCreateWrite));
    close(pipeFds[1]);
    const QByteArray data = EveryByteValue(4 << 20);
    QByteArray received;
    std::thread reader([&] {
        char chunk[3000];
        ssize_t n;
        while ((n = read(pipeFds[0], chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
            received.append(chunk, n > 0 ? n : 0);
            kill(getpid(), SIGUSR1);
        }
    });
    EXPECT_TRUE(file.Write(data.constData(), static_cast<UINT>(data.size())));
    EXPECT_TRUE(file.Close());
    reader.join();
    close(pipeFds[0]);
    sigaction(SIGUSR1, &saved, nullptr);
    EXPECT_TRUE(received == data);
}

}  // namespace
