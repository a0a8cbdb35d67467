#pragma once

#include <QMetaType>
#include <QSemaphoreReleaser>
#include <QString>
#include <QUrl>

#include <memory>

// Makes the image service let go of a file before a writer replaces, moves or deletes
// it. Each call returns the file's exclusive lock token, held until the holder is
// dropped; an empty holder means the file could not be taken.
class IBailiff
{
public:
    virtual std::shared_ptr<QSemaphoreReleaser> evictPath(QString path) = 0;
    virtual std::shared_ptr<QSemaphoreReleaser> evict(QUrl url) = 0;
    // The same, waiting at most `timeoutMs` for the readers to let go (an empty holder
    // when they did not). Callers on the GUI thread use this: readers may need that
    // thread to finish.
    virtual std::shared_ptr<QSemaphoreReleaser> tryEvict(QUrl url, int timeoutMs)
    {
        Q_UNUSED(timeoutMs)
        return evict(url);
    }
    virtual ~IBailiff() = default;
};

Q_DECLARE_METATYPE(IBailiff*)
