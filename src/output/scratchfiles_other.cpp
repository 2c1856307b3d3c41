#include "ScratchFiles.h"

// Windows refuses to remove a file that is open, which is all the holding a temporary file needs;
// its writer's files are released when the program ends.

bool HoldScratchFile(int)
{
    return true;
}

bool ScratchFileHeld(const QString&)
{
    return false;
}

std::vector<OpenDescriptor> OpenDescriptors()
{
    return {};
}

void CloseFilesLeftOpen(const std::vector<OpenDescriptor>&, const QString&) {}
