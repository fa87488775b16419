#pragma once

#include <cstdint>
#include <string>

// What hearth-probe needs from the system, one file per platform.

// Opens the file for reading if it is a regular file, without waiting on a FIFO or a device;
// -1 otherwise. The descriptor is the C runtime's.
int openRegularFile(const std::string &utf8Path);
void closeFile(int fd);
// Bytes read, 0 at the end, -1 on error.
int readFile(int fd, uint8_t *buffer, int size);
// The new position, or -1. `whence` as lseek's.
int64_t seekFile(int fd, int64_t offset, int whence);
int64_t fileSize(int fd);

// Background work: lower CPU and disk priority, end with the parent (`parent`: its process id
// as the parent gave it, 0 when unknown), answers as raw bytes.
void becomeBackgroundWorker(long long parent);
// A ceiling on what one file may make the worker allocate.
void limitMemory(uint64_t bytes);
