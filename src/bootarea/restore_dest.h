// restore_dest.h: the file that readtempconf restores the record into. Its promise: written
// where, and only where, fopen(path, "w") would write; atomic where that is safe; never
// readable by more than before.
//
// Where: every decision starts from the plain open's own answer. A refusal is that open's
// refusal, with its message, before any data is read; anything the checks below cannot
// vouch for goes to the plain open, which gives whatever answer the system gives it.
// Atomic: an existing regular file with a single link, that the plain open would accept, in
// a folder that takes a new entry, is replaced by a temporary file beside it (in the folder
// that was checked, held open), synced and renamed over it once the data is complete; a
// restore that fails or is cut part-way leaves the old file whole. The record (at most 8184
// bytes) is held in memory, so a temporary that cannot take it (a full file system, a
// quota, a size limit) is removed and the data written in place, with no message of its
// own. A signal that ends the process removes the temporary file first.
// Never readable by more: the replacement keeps the file's owner, group and permission
// bits (set-user-ID, set-group-ID and sticky included), and is taken only when the
// temporary file carries exactly the file's extended attributes (access control lists
// included); anything else is written in place.
#pragma once

#include "flash/flash.h"

#include <climits>
#include <cstdint>
#include <span>

#include <sys/stat.h>

class RestoreDestination {
public:
    // length: the number of data bytes that will be put.
    RestoreDestination(const char* path, std::uint32_t length) noexcept
        : path_(path), length_(length)
    {
    }
    RestoreDestination(const RestoreDestination&) = delete;
    RestoreDestination& operator=(const RestoreDestination&) = delete;
    // Removes a temporary file that was never renamed.
    ~RestoreDestination();

    // Opens the destination. A refusal is reported as the plain open reports it: the
    // fopen() line, then the path on standard output. 0 or 1.
    [[nodiscard]] int open();
    // Takes the next piece of the data: written at once in place (a short write reported
    // as "fwrite()"), held in memory for a replacement. 0 or 1.
    [[nodiscard]] int put(std::span<const std::uint8_t> piece);
    // Puts the data in place and closes the file; reports its own failures. 0 or 1.
    [[nodiscard]] int commit();

private:
    [[nodiscard]] bool open_replacement();
    [[nodiscard]] bool open_folder(const struct stat& file);
    [[nodiscard]] bool create_temporary(int probe, const struct stat& model);
    [[nodiscard]] int open_in_place();
    [[nodiscard]] bool replace();
    [[nodiscard]] int write_in_place();
    void remove_temporary() noexcept;

    const char* path_;
    std::uint32_t length_;
    UniqueFile file_;          // the destination opened in place
    UniqueFd folder_;          // the folder of a replacement, as checked
    UniqueFd temp_;            // the temporary file, while it exists
    HeapBuffer held_;          // the data of a replacement
    std::uint32_t held_size_ = 0;
    mode_t mode_ = 0;          // the permission bits a replacement must end with
    char name_[NAME_MAX + 1] = {};       // the destination's name in folder_
    char temp_name_[NAME_MAX + 1] = {};  // the temporary file's name in folder_
};
