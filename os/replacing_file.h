// A file that is written beside its target and takes the target's place only when
// it is complete: an old file there stays as it was until then, and a run that
// fails or is abandoned leaves nothing behind. The report page is written whole
// this way; a capture is written block by block through the same file.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

class ReplacingFile {
public:
    ReplacingFile() = default;
    ~ReplacingFile();  // a file not committed is removed
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Creates a new, empty file of our own (unique, created exclusively) in the
    // folder of `path`. False with the reason in `error`.
    bool Create(const std::string& path, std::string& error);
    // Writes all `size` bytes at once (no buffering of ours, so what was written
    // survives the program). False with the reason in `error`.
    bool Write(const void* data, size_t size, std::string& error);
    // Syncs and closes the new file and renames it over the target. On failure the
    // target is as it was, the new file is removed and `error` says which step failed.
    bool Commit(std::string& error);
    // Cuts the new file back to its first `size` bytes (what was whole before a
    // write that failed part way). False with the reason in `error`.
    bool Truncate(unsigned long long size, std::string& error);
    // Closes and removes the new file; the target is untouched.
    void Abandon();

    bool IsOpen() const { return fd_ >= 0; }
    // Where the bytes are until Commit (a hidden file beside the target).
    const std::filesystem::path& TempPath() const { return temp_; }

private:
    int fd_ = -1;
    std::filesystem::path target_;
    std::filesystem::path temp_;
};

// Writes all `size` bytes to an open descriptor (a file, a pipe), retrying short
// writes. False with errno set (ENOSPC for a write that took nothing).
bool WriteAllToDescriptor(int fd, const void* data, size_t size);

// An errno value in a user's words ("the disk is full").
std::string FileErrorReason(int error);

// Whether `path` can take a file of ours, found out before any work is done: not
// a folder, a terminal, a FIFO or another device, in a folder that exists and may
// be written. Leaves nothing behind. False with a reason in `error`.
bool FileTargetUsable(const std::string& path, std::string& error);
