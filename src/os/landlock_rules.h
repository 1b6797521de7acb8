#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quorrel::os {

// Landlock file-system rights (kernel values).
inline constexpr std::uint64_t kLandlockExecute = 1ULL << 0;
inline constexpr std::uint64_t kLandlockWriteFile = 1ULL << 1;
inline constexpr std::uint64_t kLandlockReadFile = 1ULL << 2;
inline constexpr std::uint64_t kLandlockReadDir = 1ULL << 3;
// The thirteen rights of the first ABI, EXECUTE up to MAKE_SYM.
inline constexpr std::uint64_t kLandlockAbi1Rights = 0x1FFF;
// Linking or renaming a file into another directory (ABI 2).
inline constexpr std::uint64_t kLandlockRefer = 1ULL << 13;
// Truncating a file, including open(O_TRUNC) (ABI 3).
inline constexpr std::uint64_t kLandlockTruncate = 1ULL << 14;

inline constexpr std::uint64_t kReadOnlyDirRights = kLandlockExecute | kLandlockReadFile | kLandlockReadDir;  // 0xD
inline constexpr std::uint64_t kReadOnlyFileRights = kLandlockExecute | kLandlockReadFile;                    // 0x5
inline constexpr std::uint64_t kReadWriteDirRights = kLandlockAbi1Rights | kLandlockRefer | kLandlockTruncate;
inline constexpr std::uint64_t kReadWriteFileRights =
    kLandlockExecute | kLandlockWriteFile | kLandlockReadFile | kLandlockTruncate;

// The rights a ruleset handles on a kernel with the given Landlock ABI
// version. REFER and TRUNCATE are handled where the kernel knows them, so
// that they are denied outside the read-write trees and granted beneath
// them; without them a rename between two directories is always refused
// (ABI 2 and up) and O_TRUNC works anywhere the file permissions allow it
// (ABI 3 and up).
std::uint64_t landlock_handled_rights(int abi);

// The trees of one execution, prepared before the fork so that the child
// only walks a ready list of NUL-terminated paths.
class LandlockRules {
 public:
  LandlockRules(const std::vector<std::filesystem::path>& read_only,
                const std::vector<std::filesystem::path>& read_write);
  LandlockRules(const LandlockRules&) = delete;
  LandlockRules& operator=(const LandlockRules&) = delete;

  struct Entry {
    const char* path;
    bool read_write;
  };
  const std::vector<Entry>& entries() const { return entries_; }

  // In the child: restricts the calling process (best effort: a kernel
  // without Landlock leaves it unrestricted, without notice). A failure of
  // the ruleset, a rule, no-new-privileges or the restriction ends the
  // process with status 122.
  void apply_in_child() const;

 private:
  std::vector<std::string> storage_;
  std::vector<Entry> entries_;
};

}  // namespace quorrel::os
