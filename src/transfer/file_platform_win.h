#pragma once
// The transfer engine on the customer's real disk: Win32 file calls and the platform's Base64.
#include <memory>
#include <string>

#include "transfer/file_platform.h"
#include "transfer/file_transfer.h"

namespace varnel {

std::unique_ptr<FilePlatform> MakeWindowsFilePlatform();

// The engine the session worker gets in the program.
std::unique_ptr<FileTransfer> MakeWindowsFileTransfer();

// `path` in the form the file calls take beyond 260 characters: a full path with the \\?\ (or
// \\?\UNC\) prefix. Device names and paths that already carry a prefix stay as they are.
std::u16string ExtendedLengthPath(const std::u16string& path);

}  // namespace varnel
