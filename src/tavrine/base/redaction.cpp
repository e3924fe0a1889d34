#include "tavrine/base/redaction.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <vector>

namespace redaction {
namespace {

using Json = nlohmann::json;

// A run of the body, by offsets.
struct Span {
  size_t begin;
  size_t end;
};

char lowerAscii(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool containsIgnoringCase(std::string_view text, std::string_view lower_word) noexcept {
  for (size_t at = 0; at + lower_word.size() <= text.size(); ++at) {
    size_t matched = 0;
    while (matched < lower_word.size() && lowerAscii(text[at + matched]) == lower_word[matched]) {
      ++matched;
    }
    if (matched == lower_word.size()) return true;
  }
  return false;
}

// Hands the body to the JSON parser one byte at a time and remembers the last
// byte handed out. The parser reads a string up to its closing quote and no
// further before it reports it, so at that moment the remembered byte is the
// closing quote: the parser itself does not say where a value lies, and only
// the place lets the rest of the text be shown exactly as it came.
class TrackedReader {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TrackedReader(const char* at, const char** last_read) noexcept
      : at_(at), last_read_(last_read) {}
  reference operator*() const noexcept {
    *last_read_ = at_;
    return *at_;
  }
  TrackedReader& operator++() noexcept {
    ++at_;
    return *this;
  }
  TrackedReader operator++(int) noexcept {
    TrackedReader before = *this;
    ++at_;
    return before;
  }
  bool operator==(const TrackedReader& other) const noexcept { return at_ == other.at_; }

 private:
  const char* at_;
  const char** last_read_;
};

// Collects the places of the string values that hold credentials, in the
// order they occur. Between the end of one event and the opening quote of the
// next string there are only blanks, ":" and ",", so the first quote after
// the previous event opens the value.
class SecretValueFinder final : public nlohmann::json_sax<Json> {
 public:
  SecretValueFinder(std::string_view body, const char* const& last_read, std::vector<Span>& found)
      : body_(body), last_read_(last_read), after_last_event_(body.data()), found_(found) {}

  bool null() override { return scalar(); }
  bool boolean(bool) override { return scalar(); }
  bool number_integer(number_integer_t) override { return scalar(); }
  bool number_unsigned(number_unsigned_t) override { return scalar(); }
  bool number_float(number_float_t, const string_t&) override { return scalar(); }
  bool binary(binary_t&) override { return scalar(); }
  bool string(string_t&) override {
    const char* closing = last_read_;
    if (secretHere() && closing != nullptr && *closing == '"') {
      const char* opening = std::find(after_last_event_, closing, '"');
      if (opening != closing) found_.push_back({offsetOf(opening + 1), offsetOf(closing)});
    }
    return scalar();
  }
  bool key(string_t& name) override {
    next_value_is_secret_ = isSecretKey(name);
    moved();
    return true;
  }
  bool start_object(std::size_t) override { return open(); }
  bool start_array(std::size_t) override { return open(); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  // What was found up to here stands. A body that breaks where a credential
  // was to come (cut off inside it, say) is hidden from that value's opening
  // quote to its end: no piece of it is shown.
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    if (secretHere()) {
      const char* end = body_.data() + body_.size();
      const char* opening = std::find(after_last_event_, end, '"');
      if (opening != end) found_.push_back({offsetOf(opening + 1), body_.size()});
    }
    return false;
  }

 private:
  bool secretHere() const noexcept {
    return next_value_is_secret_ || (!scopes_.empty() && scopes_.back());
  }
  bool scalar() noexcept {
    next_value_is_secret_ = false;
    moved();
    return true;
  }
  // Everything inside the value of a credential's member is hidden.
  bool open() {
    scopes_.push_back(secretHere());
    next_value_is_secret_ = false;
    moved();
    return true;
  }
  bool close() noexcept {
    if (!scopes_.empty()) scopes_.pop_back();
    moved();
    return true;
  }
  void moved() noexcept {
    if (last_read_ != nullptr) after_last_event_ = last_read_ + 1;
  }
  size_t offsetOf(const char* at) const noexcept { return static_cast<size_t>(at - body_.data()); }

  std::string_view body_;
  const char* const& last_read_;
  const char* after_last_event_;
  std::vector<bool> scopes_;  // per open array or object: inside a credential's value
  bool next_value_is_secret_ = false;
  std::vector<Span>& found_;
};

std::vector<Span> secretValues(std::string_view body) {
  std::vector<Span> found;
  const char* last_read = nullptr;
  SecretValueFinder finder(body, last_read, found);
  try {
    (void)Json::sax_parse(TrackedReader(body.data(), &last_read),
                          TrackedReader(body.data() + body.size(), &last_read), &finder);
  } catch (const nlohmann::json::exception&) {
    // The parser reports its faults through parse_error; should one ever be
    // thrown instead, what was found so far still stands.
  }
  return found;
}

// Marks every occurrence of `needle` in `text`, overlapping ones included,
// in time linear in both (Knuth-Morris-Pratt): a value of half a megabyte in
// an answer of a megabyte of the same byte must not cost a comparison of the
// whole value at every position.
void markOccurrences(std::string_view text, std::string_view needle, std::vector<bool>& covered) {
  std::vector<size_t> border(needle.size(), 0);
  for (size_t i = 1, k = 0; i < needle.size(); ++i) {
    while (k > 0 && needle[i] != needle[k]) k = border[k - 1];
    if (needle[i] == needle[k]) ++k;
    border[i] = k;
  }
  size_t marked_to = 0;
  for (size_t i = 0, k = 0; i < text.size(); ++i) {
    while (k > 0 && text[i] != needle[k]) k = border[k - 1];
    if (text[i] == needle[k]) ++k;
    if (k == needle.size()) {
      for (size_t at = std::max(i + 1 - k, marked_to); at <= i; ++at) covered[at] = true;
      marked_to = i + 1;
      k = border[k - 1];
    }
  }
}

}  // namespace

bool isSecretKey(std::string_view key) noexcept {
  return containsIgnoringCase(key, "token") || containsIgnoringCase(key, "secret") ||
         containsIgnoringCase(key, "password");
}

std::string redactSecrets(std::string_view body, std::span<const std::string_view> known_secrets) {
  const std::vector<Span> values = secretValues(body);
  std::vector<bool> covered(body.size(), false);
  for (const Span& value : values) {
    std::fill(covered.begin() + static_cast<std::ptrdiff_t>(value.begin),
              covered.begin() + static_cast<std::ptrdiff_t>(value.end), true);
  }
  for (const std::string_view secret : known_secrets) {
    if (!secret.empty()) markOccurrences(body, secret, covered);
  }

  std::string shown;
  shown.reserve(body.size());
  bool in_mark = false;
  const auto mark = [&] {
    if (!in_mark) shown += kMark;
    in_mark = true;
  };
  size_t next_value = 0;
  for (size_t at = 0; at <= body.size(); ++at) {
    // An empty credential is shown as a mark as well: the text says no more
    // about an empty value than about any other.
    for (; next_value < values.size() && values[next_value].begin <= at; ++next_value) {
      if (values[next_value].begin == at && values[next_value].end == at) mark();
    }
    if (at == body.size()) break;
    if (covered[at]) {
      mark();
    } else {
      shown += body[at];
      in_mark = false;
    }
  }
  return shown;
}

}  // namespace redaction
