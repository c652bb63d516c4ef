#include "smtp/listen_failure.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace relvo::mail::smtp {
namespace {

// Inode of a listening socket on the port in one of the /proc/net/tcp tables; 0 when none.
unsigned long ListeningInode(const std::string& table, int port) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
        unsigned long inode = 0;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
              timeout >> inode)) {
            continue;
        }
        size_t colon = local.rfind(':');
        if (colon == std::string::npos || state != "0A") {
            continue;
        }
        if (std::strtol(local.c_str() + colon + 1, nullptr, 16) == port && inode != 0) {
            return inode;
        }
    }
    return 0;
}

std::string ExecutableHint() {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : "<program>";
}

}  // namespace

std::optional<PortHolder> FindPortHolder(int port, const std::string& procRoot) {
    unsigned long inode = ListeningInode(procRoot + "/net/tcp", port);
    if (inode == 0) {
        inode = ListeningInode(procRoot + "/net/tcp6", port);
    }
    if (inode == 0) {
        return std::nullopt;
    }
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    DIR* processes = opendir(procRoot.c_str());
    if (processes == nullptr) {
        return std::nullopt;
    }
    std::optional<PortHolder> holder;
    while (dirent* entry = readdir(processes)) {
        std::string pid = entry->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::string fdDir = procRoot + "/" + pid + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr) {
            continue;
        }
        while (dirent* fd = readdir(fds)) {
            char target[128];
            std::string link = fdDir + "/" + fd->d_name;
            ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
            if (length > 0 && wanted == std::string_view(target, static_cast<size_t>(length))) {
                holder = PortHolder{static_cast<int>(std::strtol(pid.c_str(), nullptr, 10)), ""};
                std::ifstream comm(procRoot + "/" + pid + "/comm");
                std::getline(comm, holder->name);
                break;
            }
        }
        closedir(fds);
        if (holder) {
            break;
        }
    }
    closedir(processes);
    return holder;
}

std::string DescribeBadPort(int port) {
    return "SMTP port " + std::to_string(port) +
           " is not a TCP port: choose a port from 1 to 65535 in Server settings.";
}

std::string DescribeListenFailure(int port, std::string_view address, std::error_code error) {
    std::string where = "SMTP port " + std::to_string(port);
    if (!address.empty()) {
        where += " on " + std::string(address);
    }
    if (error == std::errc::address_in_use) {
        std::optional<PortHolder> holder = FindPortHolder(port);
        std::string by = holder ? " by process " + std::to_string(holder->pid) +
                                      (holder->name.empty() ? "" : " (" + holder->name + ")")
                                : " by another program";
        return where + " cannot be opened: it is in use" + by +
               ". Stop that program or choose another port in Server settings.";
    }
    if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted) {
        if (port < 1024) {
            return where +
                   " cannot be opened: ports below 1024 need a privilege. Grant it with "
                   "\"sudo setcap cap_net_bind_service=+ep " +
                   ExecutableHint() + "\" or choose a port of 1024 or above in Server settings.";
        }
        return where + " cannot be opened: permission denied (" + error.message() +
               "). Check the system's security policy or choose another port in Server settings.";
    }
    if (error == std::errc::address_not_available || error == std::errc::invalid_argument) {
        return where +
               " cannot be opened: " + std::string(address.empty() ? "the address" : address) +
               " is not an address of this machine (" + error.message() +
               "). Correct SmtpListenAddress in the configuration, or leave it empty to listen on "
               "all addresses.";
    }
    return where + " cannot be opened: " + error.message() + ".";
}

}  // namespace relvo::mail::smtp
