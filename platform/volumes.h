// Helpers behind the volume queries of winapi.h, exposed for their tests.
#pragma once

#include <cstdint>
#include <string>

namespace zem::platform {

// A volume size in the four 32-bit numbers of the cluster-based free-space
// query. BytesPerSector is 512 when the total is a multiple of 512, else 1;
// SectorsPerCluster is the smallest power of two that brings the cluster
// count within 32 bits. TotalClusters x SectorsPerCluster x BytesPerSector
// equals the total exactly when such a split exists; otherwise the total is
// rounded down to whole clusters. FreeClusters is at most TotalClusters.
struct TClusterSplit {
  uint32_t SectorsPerCluster = 1;
  uint32_t BytesPerSector = 512;
  uint32_t FreeClusters = 0;
  uint32_t TotalClusters = 0;
};
TClusterSplit SplitIntoClusters(uint64_t TotalBytes, uint64_t FreeBytes);

// The bytes of the regular files below a native folder, links not followed;
// unreadable parts count as empty.
uint64_t FolderBytes(const std::string& NativeFolder);

// The volume query's file system name for a Linux file system type:
// "FAT32", "FAT", "exFAT", "NTFS" for vfat, msdos, exfat, ntfs/ntfs3, else
// the type in upper case.
std::string FileSystemName(const std::string& FsType);

}  // namespace zem::platform
