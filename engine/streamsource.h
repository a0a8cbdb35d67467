#pragma once

#include "engine/streampart.h"

#include <QUrl>

#include <atomic>

// The whole of one local file, named by a URL. The path is the file's canonical one, so
// every spelling of a file reaches one source.
class StreamSource : public StreamPart
{
public:
    explicit StreamSource(const QUrl& url);

    QUrl url() const { return m_url; }
    // True when the URL leads into a cycle of symbolic links; such a source is never read.
    bool circular() const { return m_circular; }

    // The "compressing" mark: one compression job per source at a time. `beginCompressing`
    // is false when a job holds the mark already.
    bool beginCompressing() { return !m_compressing.exchange(true); }
    void endCompressing() { m_compressing = false; }
    bool compressing() const { return m_compressing; }

    // The canonical path of a local file; empty when `circular` is set on return.
    static QString canonicalPath(const QString& path, bool* circular = nullptr);

private:
    QUrl m_url;
    bool m_circular = false;
    std::atomic_bool m_compressing { false };
};
