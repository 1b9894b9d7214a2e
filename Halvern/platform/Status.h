#pragma once
// The outcome of a platform operation that can fail with a readable reason.

#include <string>
#include <utility>

namespace platform {

class [[nodiscard]] Status {
public:
    static Status Ok() { return Status(); }
    static Status Failure(std::string description) { return Status(std::move(description)); }

    bool ok() const { return ok_; }
    // The reason of a failure, readable by a person (empty on success).
    const std::string& localizedDescription() const { return description_; }

private:
    Status() = default;
    explicit Status(std::string description) : ok_(false), description_(std::move(description)) {}

    bool ok_ = true;
    std::string description_;
};

}  // namespace platform
