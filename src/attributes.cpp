// Log flag, permission repair and atomic file replacement.
#include "attributes.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool kvr_logs_debug = false;

bool fix_file_permission(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) {
        kvr_logs_print("ERROR", "fix_file_permission: can't check file permission for %s, %s", path,
                       std::strerror(errno));
        return false;
    }
    if ((st.st_mode & 0777) == 0600) return true;
    if (chmod(path, 0600) != 0) {
        kvr_logs_print("ERROR", "fix_file_permission: can't change file permission for %s, %s",
                       path, std::strerror(errno));
        return false;
    }
    return true;
}

std::string kvr_conf_dir() {
    const char* dir = std::getenv("KAVROD_DIR");
    if (dir == nullptr || *dir == '\0') return "/etc/kavrod/";
    std::string out(dir);
    if (out.back() != '/') out += '/';
    return out;
}

bool kvr_read_file(const std::string& path, std::string& text) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    text.clear();
    char chunk[8192];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            return false;
        }
        if (n == 0) break;
        text.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

static bool write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool kvr_write_file_atomic(const std::string& path, const std::string& text) {
    std::string tmp = path + ".tmp-XXXXXX";
    int fd = mkostemp(&tmp[0], O_CLOEXEC); // mode 0600
    if (fd < 0) return false;
    bool ok = write_all(fd, text) && fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
    if (ok) saved = errno;
    unlink(tmp.c_str());
    errno = saved;
    return false;
}

std::string kvr_time_stamp(const char* format) {
    std::time_t now = std::time(nullptr);
    struct tm local;
    char text[64];
    if (localtime_r(&now, &local) == nullptr) return "0";
    size_t n = std::strftime(text, sizeof(text), format, &local);
    return std::string(text, n);
}
