// The development AppServer's data: one JSON document that a person reads
// and edits, checked as a whole when it is read, and the commands answered
// from it. Plain C++ on UTF-8 text; the COM shell around it converts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace velmora::devappserver {

// One column value of a row: NULL, Boolean, whole number or text, as the
// data file gives it.
using Cell = std::variant<std::monostate, bool, int32_t, std::string>;

struct Table {
  std::vector<std::string> columns;
  std::vector<std::vector<Cell>> rows;
};

enum class Fault { None, BadArguments, UnknownCommand, AccessDenied };

struct Reply {
  Fault fault = Fault::None;
  std::string message;              // why, when there is a fault
  std::optional<Table> table;       // the recordset commands
  std::optional<std::string> text;  // the server clock
  bool changed = false;             // the document must be written back
};

class DataSet {
 public:
  // Reads and checks the whole document. On a fault: nullopt, and *error
  // says where in the document and what is wrong. A member name given twice
  // in one object is a fault: the parser would keep one of them silently,
  // and a write-back would lose the other.
  static std::optional<DataSet> Parse(const std::string& utf8, std::string* error);

  // Whether the command may change the document, so that reading, changing
  // and writing it back must not interleave with another change.
  static bool Changes(int32_t code);

  // Answers one command; `now` ("YYYY-MM-DD HH:MM:SS", local time) is the
  // clock when the document fixes none. May throw std::bad_alloc only.
  Reply Execute(int32_t code, const std::vector<std::string>& args, const std::string& now);

  // The document as file text, for writing it back after a change: with a
  // byte-order mark and CRLF line ends when the file read had them.
  std::string Serialize() const;

 private:
  DataSet(nlohmann::ordered_json doc, bool byteOrderMark, bool crlf)
      : doc_(std::move(doc)), byteOrderMark_(byteOrderMark), crlf_(crlf) {}
  Reply ChangePassword(const std::vector<std::string>& args);

  nlohmann::ordered_json doc_;
  bool byteOrderMark_ = false;
  bool crlf_ = false;
};

}  // namespace velmora::devappserver
