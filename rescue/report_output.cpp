#include "rescue/report_output.hpp"

#include "rescue/buffered_writer.hpp"

namespace quorle::rescue {

CleanRowWriter::CleanRowWriter(int fd, std::string_view input, std::uint8_t output_delimiter,
                               InputSource source)
    : out_(std::make_unique<BufferedWriter>(fd, PACKAGE_BUFFER)),
      lines_(*out_, input, package_lines(output_delimiter), source) {}

CleanRowWriter::~CleanRowWriter() = default;

std::optional<RescueError> CleanRowWriter::write(const engine::RowStore& rows,
                                                 const std::atomic<bool>& stop) {
  return lines_.write(rows, stop);
}

std::optional<RescueError> CleanRowWriter::finish() {
  return out_->flush();
}

}  // namespace quorle::rescue
