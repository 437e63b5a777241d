#include "rescue/rescue_error.hpp"

#include <cstring>

namespace quorle::rescue {

RescueError os_error(int code) {
  char buffer[256];
  // The GNU strerror_r returns the text, which need not be in the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return {code, std::string(text) + " (os error " + std::to_string(code) + ")"};
}

RescueError plain_error(std::string message) {
  return {0, std::move(message)};
}

RescueError options_error(std::string message) {
  return {0, std::move(message), true};
}

}  // namespace quorle::rescue
