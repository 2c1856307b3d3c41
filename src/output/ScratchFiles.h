#pragma once
// The export's temporary files, platform part (scratchfiles_linux.cpp, scratchfiles_other.cpp).

#include <QByteArray>
#include <QString>

#include <vector>

// Marks a temporary file (open as fd) as in use, so that another export does not take it for a
// leftover. false when it cannot be marked.
bool HoldScratchFile(int fd);
// Whether a temporary file is held by a running export (of this or another program).
bool ScratchFileHeld(const QString& path);

// The descriptors open now; CloseFilesLeftOpen closes those opened since that were left open
// on files in folder, the writer's deleted temporary files included (a failing writer may not
// close them, and their space would come back only when the program ends).
// A descriptor is told by its number and the file it is open on, as numbers are used again.
struct OpenDescriptor {
    int fd;
    QByteArray file;
    bool operator<(const OpenDescriptor& o) const { return fd < o.fd || (fd == o.fd && file < o.file); }
};
std::vector<OpenDescriptor> OpenDescriptors();
void CloseFilesLeftOpen(const std::vector<OpenDescriptor>& before, const QString& folder);
