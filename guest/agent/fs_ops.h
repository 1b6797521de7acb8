#pragma once

#include <string>
#include <string_view>

#include "guest_frame.h"

namespace quorrel::agent {

struct FileReadResult {
  FsStatus status = FsStatus::Ok;
  std::string data;
};

// Whole-file transfer for the FS frames. Failures are reduced to the
// FSRESULT status codes.
FileReadResult read_whole_file(const std::string& path);
FsStatus write_whole_file(const std::string& path, std::string_view data);

FsStatus fs_status_from_errno(int err);

}  // namespace quorrel::agent
