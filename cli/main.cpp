// zuva-flash: programs an image into the device over a serial port from the command line.
#include "cli/cli.h"

int main(int argc, char** argv) {
    return RunCli(argc, argv);
}
