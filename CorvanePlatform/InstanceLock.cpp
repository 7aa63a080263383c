#include "InstanceLock.h"

#include "UserPaths.h"

#include <QFile>
#include <QHash>

#include <mutex>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace corvane::platform {

bool holdInstanceLock(const QString &name)
{
    static std::mutex mutex;
    static QHash<QString, int> held;
    std::lock_guard lock(mutex);
    if (held.contains(name))
        return true;
    const QString folder = temporaryDir();
    if (folder.isEmpty())
        return false;
    const QByteArray path = QFile::encodeName(folder + name + QStringLiteral(".lock"));
    const int file = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (file < 0)
        return false;
    if (::flock(file, LOCK_EX | LOCK_NB) != 0) {
        ::close(file);
        return false;
    }
    held.insert(name, file); // kept open, and so locked, until the process ends
    return true;
}

} // namespace corvane::platform
