// The program's entry point, and the one place that joins the two halves of the platform layer:
// the framework's lists know nothing of serial ports, so the port list's tooltips, which tell
// which device each COM name is now, are the serial layer's descriptions, handed over here.
// Then everything happens in the framework layer's main routine.
#include "platform/comm/PortNames.h"
#include "platform/framework/WinApp.h"
#include "platform/framework/Wnd.h"

int main(int argc, char** argv) {
    SetListToolTips(DescribePortsHere);
    return AfxWinMain(argc, argv);
}
