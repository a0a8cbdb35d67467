#pragma once

#include "engine/iimageservice.h"

#include <QObject>
#include <QPointer>

// An item's hold on the image service, given as any object that implements it; null
// once that object is gone.
class ImageServicePointer
{
public:
    ImageServicePointer& operator=(QObject* object)
    {
        m_object = object;
        m_service = qobject_cast<IImageService*>(object);
        return *this;
    }
    QObject* object() const { return m_service ? m_object.data() : nullptr; }
    IImageService* operator->() const { return get(); }
    IImageService* get() const { return m_object ? m_service : nullptr; }
    explicit operator bool() const { return get() != nullptr; }
    bool operator==(const QObject* object) const { return this->object() == object; }

private:
    QPointer<QObject> m_object;
    IImageService* m_service = nullptr;
};

inline bool operator==(const QObject* object, const ImageServicePointer& pointer)
{
    return pointer == object;
}
