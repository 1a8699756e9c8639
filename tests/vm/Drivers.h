// The serial drivers of the bench's virtual machine (tests/vm/run.sh), the instrument's end of
// each line as the test plays it, and what the test looks at in the guest around the program:
// the program's descriptors and its workers' CPU time, a device's COM name and stable name, other
// programs.
//
// Every far end is a descriptor inside the guest. For cdc_acm it is the USB gadget's own tty
// (ttyGS0). For ch341, cp210x and pl2303 it is a pty behind the chip that tests/vm/chip.py plays
// on a USB gadget of the chip's own ids. For ftdi_sio and the 8250 the line ends on the host,
// and a virtio-serial port carries its bytes there and back unchanged (tests/vm/machine.py).
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

enum class Unplug {
    kNone,     // a built-in UART stays
    kGadget,   // the USB gadget goes: its module is removed and loaded again
    kAdapter,  // QEMU pulls the USB adapter out and puts it back
    kChip,     // the played chip's gadget is unbound from its controller and bound again
};

struct Driver {
    const char* name;    // the kernel's driver, as a test name: letters, digits, '_'
    const char* device;  // what the program opens
    const char* farEnd;  // a tty of the guest, or the name of a virtio-serial port
    Unplug unplug;
    int topRate;  // the fastest of the program's rates the driver keeps
    // Where the bench sees what the driver tells the chip: a played chip's folder (see
    // tests/vm/chip.py), or the name of an adapter QEMU traces for the host to report (see
    // tests/vm/machine.py); null where it cannot. And the handshake the driver tells the chip
    // for the program's settings.
    const char* chip;
    const char* chipFlow;
};

extern const Driver kCdcAcm;
extern const Driver kFtdiSio;
extern const Driver kSerial8250;
extern const Driver kCh341;
extern const Driver kCp210x;
extern const Driver kPl2303;

// What the chip was last told, as chip.py keeps it in its folder or the host reports it:
// "rate", "data", "parity", "stop", "flow", "rts", "out" (the bytes the device has sent on the
// line so far) and their values, and "value" for a played chip; empty where the bench cannot
// see it.
std::map<std::string, std::string> ChipState(const Driver& driver);

// The instrument's end of a driver's line.
class FarEnd {
public:
    explicit FarEnd(const Driver& driver);  // opens it, ready to send and receive
    ~FarEnd();
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    // Sends bytes as an instrument at rate does, one start bit, 8 data bits and two stop bits a
    // byte: in steps of 10 ms, never ahead of the line. Ignores flow control, as the program's
    // instruments do. Returns once all is written, or when the line is gone or has taken
    // nothing for 20 s. Any thread.
    void Send(const std::string& bytes, int rate);
    // What the device wrote to the line: everything that arrives until quietMs pass without a
    // byte. Also throws away what is left over from earlier.
    std::string Receive(int quietMs);

    // Pulls the device out and waits until its node is gone. The far end of a gadget closes:
    // the instrument goes with it.
    void Unplug();
    // Puts it back and waits until its node and its stable name in /dev/serial/by-id are there
    // again (udev makes them), and the far end is open again.
    void Plug();

private:
    void Open();

    const Driver& driver_;
    int fd_ = -1;
};

// CPU seconds that the threads the program started (its capture workers) have used so far: the
// threads of this process other than its first that bear its name, as Qt names its own.
double WorkerCpuSeconds();
// Everything that arrives on fd until quietMs pass without a byte, or the device goes.
std::string ReadUntilQuiet(int fd, int quietMs);
// This process's descriptor of device (also when the node has gone since), or -1.
int DescriptorOf(const std::string& device);
// The n of the COM name that device has under the default numbering, or 0.
int ComOf(const std::string& device);
// device's name in /dev/serial/by-id, or "".
std::string StableNameOf(const std::string& device);

// Processes that keep one core each busy until the object goes.
class CpuHogs {
public:
    explicit CpuHogs(int count);
    ~CpuHogs();
    CpuHogs(const CpuHogs&) = delete;
    CpuHogs& operator=(const CpuHogs&) = delete;

private:
    std::vector<pid_t> pids_;
};
