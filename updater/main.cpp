// trsn.updater <updatefile>: starts one of our installers unattended after checking its version resource.
#include "updater.h"

int main(int argc, char** argv) {
    using namespace trsn::updater;
    if (argc < 2) {
        return PrintUsage(argc > 0 && argv[0] != nullptr ? argv[0] : "");
    }
    InstallerFile installer;
    int result = OpenInstaller(argv[1], installer);
    if (result == kExitOk) {
        result = CheckInstaller(installer);
    }
    if (result == kExitOk) {
        result = LaunchInstaller(installer);
    }
    return result;
}
