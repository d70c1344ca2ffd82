// system.h: the partition-table system upgrade. Owns loading a partition-table file into
// entries with absolute starts, the covering rule that maps an absolute flash address to
// partition sections, and the write and check of a three-file system image across them.
// Opens and closes each partition device itself; prints its own messages.
#pragma once

// Writes the three images into their windows through the partitions the table names.
[[nodiscard]] int write_system(const char* table, const char* image1, const char* image2,
                               const char* image3, int progress);

// Verifies the three windows against the images' sizes and their CrcFiles.
[[nodiscard]] int check_system(const char* table, const char* image1, const char* image2,
                               const char* image3, const char* crc1, const char* crc2,
                               const char* crc3);
