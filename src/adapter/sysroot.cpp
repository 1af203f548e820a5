#include "adapter/sysroot.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>

namespace {

// The kernel gives up after 40 links in one lookup; a loop in a fake tree must end the same way.
constexpr int MAX_LINKS_FOLLOWED = 40;

std::error_code last_error()
{
    return {errno, std::generic_category()};
}

// Components of a path, last one first, so the walk can pop the next one off the back.
void push_components(const std::string& path, std::vector<std::string>& pending)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        if (slash > start) {
            parts.push_back(path.substr(start, slash - start));
        }
        start = slash + 1;
    }
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
}

} // namespace

std::filesystem::path host_path(const SystemRoot& root, const std::string& system_path)
{
    const std::size_t first = system_path.find_first_not_of('/');
    return first == std::string::npos ? root.dir : root.dir / system_path.substr(first);
}

Resolution resolve_path(const SystemRoot& root, const std::string& system_path)
{
    Resolution result;
    std::string start = system_path;
    if (start.empty() || start.front() != '/') {
        std::error_code error;
        start = (std::filesystem::current_path(error) / start).string();
    }
    std::vector<std::string> pending;
    push_components(start, pending);
    std::string current; // "" stands for "/"
    int links_followed = 0;
    while (!pending.empty()) {
        const std::string part = std::move(pending.back());
        pending.pop_back();
        if (part == ".") {
            continue;
        }
        if (part == "..") {
            current = current.empty() ? current : current.substr(0, current.rfind('/'));
            continue;
        }
        std::string candidate = current;
        candidate.append("/").append(part);
        struct stat info {};
        if (::lstat(host_path(root, candidate).c_str(), &info) != 0) {
            result.error = last_error();
            result.missing = candidate;
            result.path = candidate;
            return result;
        }
        if (!S_ISLNK(info.st_mode)) {
            current = candidate;
            continue;
        }
        std::error_code error;
        const std::optional<std::string> target = read_link(root, candidate, error);
        if (!target || ++links_followed > MAX_LINKS_FOLLOWED) {
            result.error =
                target ? std::make_error_code(std::errc::too_many_symbolic_link_levels) : error;
            result.missing = candidate;
            result.path = candidate;
            return result;
        }
        result.hops.push_back(candidate + " -> " + *target);
        if (target->starts_with('/')) {
            current.clear();
        }
        push_components(*target, pending);
    }
    result.path = current.empty() ? "/" : current;
    return result;
}

std::error_code stat_path(const SystemRoot& root, const std::string& system_path, struct stat& info,
                          bool follow_links)
{
    const std::filesystem::path where = host_path(root, system_path);
    const int status = follow_links ? ::stat(where.c_str(), &info) : ::lstat(where.c_str(), &info);
    return status == 0 ? std::error_code{} : last_error();
}

bool path_exists(const SystemRoot& root, const std::string& system_path)
{
    struct stat info {};
    return !stat_path(root, system_path, info, false);
}

std::optional<std::string> read_link(const SystemRoot& root, const std::string& system_path,
                                     std::error_code& error)
{
    std::array<char, PATH_MAX> buffer{};
    const ssize_t length =
        ::readlink(host_path(root, system_path).c_str(), buffer.data(), buffer.size());
    if (length < 0 || static_cast<std::size_t>(length) >= buffer.size()) {
        error = length < 0 ? last_error() : std::make_error_code(std::errc::filename_too_long);
        return std::nullopt;
    }
    error.clear();
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

SysError read_file(const SystemRoot& root, const std::string& system_path, std::string& content)
{
    content.clear();
    const std::filesystem::path where = host_path(root, system_path);
    struct stat info {};
    if (::stat(where.c_str(), &info) != 0) {
        return {"stat", last_error()};
    }
    if (!S_ISREG(info.st_mode)) {
        return {"stat (not a regular file, left unopened)",
                std::make_error_code(std::errc::invalid_argument)};
    }
    const int fd = ::open(where.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return {"open", last_error()};
    }
    std::array<char, 4096> buffer{};
    SysError error;
    for (;;) {
        const ssize_t count = ::read(fd, buffer.data(), buffer.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            if (count < 0) {
                error = {"read", last_error()};
            }
            break;
        }
        content.append(buffer.data(), static_cast<std::size_t>(count));
    }
    ::close(fd);
    return error;
}

std::vector<std::string> read_lines(const SystemRoot& root, const std::string& system_path)
{
    std::string content;
    std::vector<std::string> lines;
    if (read_file(root, system_path, content)) {
        return lines;
    }
    for (std::size_t start = 0; start < content.size();) {
        const std::size_t end = std::min(content.find('\n', start), content.size());
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::optional<std::string> read_attribute(const SystemRoot& root, const std::string& system_path)
{
    std::string content;
    if (read_file(root, system_path, content)) {
        return std::nullopt;
    }
    return content.substr(0, content.find('\n'));
}

std::vector<std::string> list_directory(const SystemRoot& root, const std::string& system_path,
                                        std::error_code& error, ReadEntry next)
{
    std::vector<std::string> names;
    DIR* directory = ::opendir(host_path(root, system_path).c_str());
    if (directory == nullptr) {
        error = last_error();
        return names;
    }
    error.clear();
    for (;;) {
        // readdir returns null both at the end and on failure; only errno tells them apart.
        errno = 0;
        const dirent* entry = next(directory);
        if (entry == nullptr) {
            if (errno != 0) {
                error = last_error();
            }
            break;
        }
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

std::string parent_path(const std::string& system_path)
{
    const std::filesystem::path parent = std::filesystem::path(system_path).parent_path();
    return parent.empty() ? "/" : parent.string();
}

std::string base_name(const std::string& system_path)
{
    return std::filesystem::path(system_path).filename().string();
}

std::string describe_error(const SysError& error, const std::string& system_path)
{
    return std::string(error.call) + " " + system_path + ": " + error.code.message();
}

std::vector<std::string> split_words(const std::string& text)
{
    std::vector<std::string> words;
    std::size_t start = text.find_first_not_of(" \t\n");
    while (start != std::string::npos) {
        const std::size_t end = text.find_first_of(" \t\n", start);
        words.push_back(text.substr(start, end - start));
        start = text.find_first_not_of(" \t\n", end);
    }
    return words;
}
