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
    virtual ~IBailiff() = default;
};

Q_DECLARE_METATYPE(IBailiff*)
