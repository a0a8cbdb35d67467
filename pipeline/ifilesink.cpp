#include "pipeline/ifilesink.h"

IFileSink::IFileSink(QObject* parent)
    : QObject(parent)
{ }

IFileSink::Scope IFileSink::scopeOf(int error)
{
    Scope widest = NoScope;
    auto widen = [&widest](Scope scope) { widest = qMax(widest, scope); };
    if (error & (Present | CantDel | Content))
        widen(TargetScope);
    if (error & SrcLost)
        widen(RecipeScope);
    if (error & (DirLost | NoWrite))
        widen(FolderScope);
    if (error & (NoSpace | NoDrive))
        widen(VolumeScope);
    if (error & (IOPause | IOError))
        widen(DeviceScope);
    return widest;
}

void IFileSink::onGoodFromMetadata(VrxMetadata md)
{
    onVerified(md.location, md.imageUuid);
}
