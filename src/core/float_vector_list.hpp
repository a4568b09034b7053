// float_vector_list.hpp: a list of float vectors of any lengths, stored end to end.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <vector>

#include "core/types.hpp"

namespace tarn {

// The values of every vector sit in one array, so a list of n short vectors
// costs two allocations rather than n + 1.
class FloatVectorList {
public:
    using value_type = FloatVector;  // what an item is, when it is taken apart

    FloatVectorList() = default;
    // Implicit, so that nested vectors can stand wherever a list is expected.
    FloatVectorList(
        const std::vector<FloatVector>& vectors) {  // NOLINT(google-explicit-constructor)
        for (const FloatVector& v : vectors) push_back(v);
    }
    FloatVectorList(std::initializer_list<FloatVector> vectors)
        : FloatVectorList(std::vector<FloatVector>(vectors)) {}

    void reserve(std::size_t vectors, std::size_t values) {
        ends_.reserve(vectors);
        values_.reserve(values);
    }
    // Room for `vectors` points in the plane.
    void reserve(std::size_t vectors) { reserve(vectors, 2 * vectors); }
    void push_back(std::span<const double> vector) {
        // The end goes in first: should the values fail to fit, taking it
        // back off leaves the list as it was.
        ends_.push_back(values_.size() + vector.size());
        try {
            values_.insert(values_.end(), vector.begin(), vector.end());
        } catch (...) {
            ends_.pop_back();
            throw;
        }
    }

    std::size_t size() const noexcept { return ends_.size(); }
    bool empty() const noexcept { return ends_.empty(); }
    std::span<const double> operator[](std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : ends_[i - 1];
        return {values_.data() + begin, values_.data() + ends_[i]};
    }

private:
    std::vector<double> values_;
    std::vector<std::size_t> ends_;  // vector i ends at values_[ends_[i]]
};

}  // namespace tarn
