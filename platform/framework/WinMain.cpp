// The program's entry point: everything happens in the framework layer's main routine.
#include "platform/framework/WinApp.h"

int main(int argc, char** argv) {
    return AfxWinMain(argc, argv);
}
