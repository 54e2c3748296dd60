// trsn.updater <updatefile>: starts one of our installers unattended after checking its version resource.
#include "updater.h"

int main(int argc, char** argv) {
    using namespace trsn::updater;
    if (argc < 2) {
        return PrintUsage(argc > 0 && argv[0] != nullptr ? argv[0] : "");
    }
    const int checked = CheckInstaller(argv[1]);
    if (checked != kExitOk) {
        return checked;
    }
    return LaunchInstaller(argv[1]);
}
