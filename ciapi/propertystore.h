#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace CIAPI {

// The numbered parameters of one engine object, four kinds kept apart. A number never
// set reads as 0 (or an empty array). Thread-safe: render threads take snapshots while
// the owner sets values.
class PropertyStore
{
public:
    struct Values
    {
        std::map<int, std::int64_t> ints;
        std::map<int, float> floats;
        std::map<int, std::vector<std::uint32_t>> intArrays;
        std::map<int, std::vector<float>> floatArrays;

        std::int64_t i(int n) const;
        float f(int n) const;
        std::vector<std::uint32_t> ia(int n) const;
        std::vector<float> fa(int n) const;
    };

    std::int64_t getInt(int n) const;
    float getFloat(int n) const;
    std::vector<std::uint32_t> getIntArray(int n) const;
    std::vector<float> getFloatArray(int n) const;

    void setInt(int n, std::int64_t v);
    void setFloat(int n, float v);
    void setIntArray(int n, std::vector<std::uint32_t> v);
    void setFloatArray(int n, std::vector<float> v);

    Values snapshot() const;
    void assign(Values values);
    void clear();

private:
    mutable std::mutex m_mutex;
    Values m_values;
};

} // namespace CIAPI
