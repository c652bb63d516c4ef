#include "app/private_directory.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kOthersBits = S_IRWXG | S_IRWXO;

QString ErrorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// What is wrong with the directory open at fd; with fixMode, a directory of this user's that
// others may enter is closed to them instead.
QString DescriptorProblem(int fd, const QString& path, bool fixMode) {
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        return QStringLiteral("cannot examine %1: %2").arg(path, ErrorText(errno));
    }
    if (info.st_uid != getuid()) {
        return QStringLiteral("%1 belongs to another user").arg(path);
    }
    if ((info.st_mode & kOthersBits) == 0) {
        return {};
    }
    if (fixMode && fchmod(fd, S_IRWXU) == 0) {
        return {};
    }
    return QStringLiteral("%1 is open to other users").arg(path);
}

QString CheckDirectory(const QString& path, bool fixMode) {
    QByteArray name = QFile::encodeName(path);
    int fd = open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        if (error == ELOOP || error == ENOTDIR) {
            return QStringLiteral("%1 is a symbolic link or not a directory").arg(path);
        }
        return QStringLiteral("cannot open %1: %2").arg(path, ErrorText(error));
    }
    QString problem = DescriptorProblem(fd, path, fixMode);
    close(fd);
    return problem;
}

}  // namespace

QString PrivateDirectoryProblem(const QString& path) {
    return CheckDirectory(path, false);
}

PrivateDirectory FindPrivateDirectory() {
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime) && PrivateDirectoryProblem(runtime).isEmpty()) {
        return {QDir::cleanPath(runtime), {}};
    }
    QString path =
        QDir::cleanPath(QDir::tempPath() + QStringLiteral("/relvoconsole-%1").arg(getuid()));
    if (mkdir(QFile::encodeName(path).constData(), S_IRWXU) != 0 && errno != EEXIST) {
        return {{}, QStringLiteral("cannot create %1: %2").arg(path, ErrorText(errno))};
    }
    QString problem = CheckDirectory(path, true);
    if (!problem.isEmpty()) {
        return {{}, problem};
    }
    return {path, {}};
}
