#include "ciapi/propertystore.h"

namespace CIAPI {

namespace {
template <typename Map> typename Map::mapped_type lookup(const Map& map, int n)
{
    auto it = map.find(n);
    return it == map.end() ? typename Map::mapped_type {} : it->second;
}
} // namespace

std::int64_t PropertyStore::Values::i(int n) const
{
    return lookup(ints, n);
}
float PropertyStore::Values::f(int n) const
{
    return lookup(floats, n);
}
std::vector<std::uint32_t> PropertyStore::Values::ia(int n) const
{
    return lookup(intArrays, n);
}
std::vector<float> PropertyStore::Values::fa(int n) const
{
    return lookup(floatArrays, n);
}

std::int64_t PropertyStore::getInt(int n) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values.i(n);
}

float PropertyStore::getFloat(int n) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values.f(n);
}

std::vector<std::uint32_t> PropertyStore::getIntArray(int n) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values.ia(n);
}

std::vector<float> PropertyStore::getFloatArray(int n) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values.fa(n);
}

void PropertyStore::setInt(int n, std::int64_t v)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values.ints[n] = v;
}

void PropertyStore::setFloat(int n, float v)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values.floats[n] = v;
}

void PropertyStore::setIntArray(int n, std::vector<std::uint32_t> v)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values.intArrays[n] = std::move(v);
}

void PropertyStore::setFloatArray(int n, std::vector<float> v)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values.floatArrays[n] = std::move(v);
}

PropertyStore::Values PropertyStore::snapshot() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values;
}

void PropertyStore::assign(Values values)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values = std::move(values);
}

void PropertyStore::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_values = Values {};
}

} // namespace CIAPI
