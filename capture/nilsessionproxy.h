#pragma once

#include "capture/sessionfactory.h"
#include "capture/sessionproxy.h"

// Stands in for a device that could not be opened or was lost: does nothing.
class NilSessionProxy : public SessionProxy
{
public:
    void start() override { }
    void transfer(QUrl, Recipe) override { }
    void fetchPreset(QString, QString, uint32_t) override { }
    void cancelPendingRequests() override { }
    int capacity() override { return 1; }
    void remove(QString) override { }
    void fetchVideo(VideosModel::DownloadRequest) override { }
    bool isDevice() override { return false; }
    bool hasExtension() override { return false; }
    void runExtension() override { }

    // The factory of sessions that have no device.
    static SessionProxy* create(const CaptureRequest&, SessionListener*) { return new NilSessionProxy; }
};
