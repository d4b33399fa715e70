// Readable names for the cases of parameterised suites, so that `ctest -N`
// and failure reports say which case ran instead of dumping its bytes.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace velorin::testing_support {

// "07_invalid_number_minus_x": the case's index (which keeps names unique),
// then the words of `parts`. GoogleTest allows only letters, digits and
// underscores in a name, so a sign becomes a word and every other run of
// punctuation one underscore; the name is cut short to fit a terminal line.
inline std::string case_name(std::size_t index, std::initializer_list<std::string_view> parts) {
  constexpr std::size_t kLongest = 64;
  std::string name = (index < 10 ? "0" : "") + std::to_string(index);
  bool gap = true;
  auto add = [&](std::string_view word) {
    if (gap) name += '_';
    name += word;
    gap = false;
  };
  for (std::string_view part : parts) {
    for (char c : part) {
      if (name.size() >= kLongest) return name.substr(0, kLongest);
      if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        add(std::string_view(&c, 1));
        continue;
      }
      if (c == '-' || c == '+') add(c == '-' ? "minus" : "plus");
      gap = true;
    }
    gap = true;
  }
  // A name of digits alone would be replaced by the raw bytes of the case
  // when CTest lists the tests.
  if (name.find('_') == std::string::npos) name += "_empty";
  return name.substr(0, kLongest);
}

}  // namespace velorin::testing_support
