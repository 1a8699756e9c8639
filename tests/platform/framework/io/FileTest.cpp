// CFile where the Save command cannot reach: an error the disk reports only at the flush, and a
// file that takes its bytes slowly while signals come.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QFile>
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

bool SetImmutable(int fd, bool on) {
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        return false;
    }
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    return ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
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
