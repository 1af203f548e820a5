// Read-only access to the system files the doctor inspects (/dev, /sys, /proc, /run/udev, /etc),
// all reached through one root folder. A real run uses "/"; tests point the root at a small
// fake tree laid out like the kernel's, so every path here is a system path ("/dev/ttyUSB0")
// that is mapped into the root only when a file is touched.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

struct SystemRoot {
    std::filesystem::path dir{"/"};
};

/// Where system_path ("/sys/class/tty") lies on this machine's file system.
std::filesystem::path host_path(const SystemRoot& root, const std::string& system_path);

/// The result of following every symbolic link in a system path, as the kernel would if the
/// root folder were "/": absolute link targets stay inside the root.
struct Resolution {
    std::string path;              // the final system path; when error is set, the part walked
    std::vector<std::string> hops; // "link -> target" for each link followed, in order
    std::string missing;           // the system path whose lstat failed, when error is set
    std::error_code error;
};

Resolution resolve_path(const SystemRoot& root, const std::string& system_path);

/// lstat (follow_links false) or stat of a system path.
std::error_code stat_path(const SystemRoot& root, const std::string& system_path, struct stat& info,
                          bool follow_links = true);

bool path_exists(const SystemRoot& root, const std::string& system_path);

/// The target text of a symbolic link, exactly as stored.
std::optional<std::string> read_link(const SystemRoot& root, const std::string& system_path,
                                     std::error_code& error);

/// A failed system call: its name and the error it gave.
struct SysError {
    const char* call = "";
    std::error_code code;
    explicit operator bool() const { return static_cast<bool>(code); }
};

/// Reads a whole regular file. Anything else (a device node above all) is refused before it is
/// opened: opening a tty can already change its modem lines.
SysError read_file(const SystemRoot& root, const std::string& system_path, std::string& content);

/// The lines of a text file without their newlines; none when it cannot be read.
std::vector<std::string> read_lines(const SystemRoot& root, const std::string& system_path);

/// The first line of a small attribute file (sysfs, /proc/<pid>/comm), without its newline.
std::optional<std::string> read_attribute(const SystemRoot& root, const std::string& system_path);

/// readdir, or a stand-in that tests use to make it fail.
using ReadEntry = dirent* (*)(DIR*);

/// Entry names of a directory, sorted, without "." and "..". A failing opendir or readdir sets
/// error; what was read before a readdir failure is returned all the same.
std::vector<std::string> list_directory(const SystemRoot& root, const std::string& system_path,
                                        std::error_code& error, ReadEntry next = ::readdir);

/// The words of a line, split at spaces, tabs and newlines.
std::vector<std::string> split_words(const std::string& text);

/// "/a/b/c" -> "/a/b"; "/a" -> "/".
std::string parent_path(const std::string& system_path);
/// "/a/b/c" -> "c".
std::string base_name(const std::string& system_path);
/// The call, the path and the system's text: "open /x: No such file or directory".
std::string describe_error(const SysError& error, const std::string& system_path);
