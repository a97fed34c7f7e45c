// The answer handed to the host (see answer.h).
#include "fetch/answer.h"

#include <cstring>
#include <optional>

#include "fetch/rules.h"
#include "header/fields.h"

namespace zelmo::fetch {

bool Announcer::Announce(std::string_view block, std::int64_t age)
{
    if (announced_)
        return true;
    announced_ = true;
    if (callback_ == nullptr)
        return true;
    const std::string header = AnswerHeader(block, age);
    ZelmoFetchAnswer answer{};
    answer.size = sizeof answer;
    answer.status = header::StatusOf(header);
    answer.age = age < 0 ? 0 : age;
    answer.header = header.c_str();
    answer.header_length = header.size();
    answer.index = index_;
    return callback_(data_, &answer) == 0;
}

}  // namespace zelmo::fetch

extern "C" int64_t ZELMO_API zelmo_fetch_answer_field(const ZelmoFetchAnswer *answer, const char *name, char *value,
                                                      size_t capacity)
try {
    if (answer == nullptr || answer->header == nullptr || name == nullptr || value == nullptr || capacity == 0)
        return -1;
    const std::optional<std::string> found = zelmo::header::FieldValue(answer->header, name);
    if (!found) {
        value[0] = '\0';
        return -1;
    }
    const std::size_t n = found->size() < capacity - 1 ? found->size() : capacity - 1;
    std::memcpy(value, found->data(), n);
    value[n] = '\0';
    return static_cast<int64_t>(found->size());
} catch (...) {
    return -1;
}
