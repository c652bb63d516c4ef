// An open file descriptor closed when the object goes. No Qt; any thread.
#pragma once

#include <unistd.h>

#include <utility>

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return fd_; }
    void Reset(int fd) {
        Close();
        fd_ = fd;
    }
    int Release() { return std::exchange(fd_, -1); }
    // Closes now, reporting whether the close succeeded.
    bool Close() {
        int fd = std::exchange(fd_, -1);
        return fd >= 0 && close(fd) == 0;
    }

  private:
    int fd_;
};
