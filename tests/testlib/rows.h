// Reads back the rows portsift writes for scripts: CSV by RFC 4180, and JSON lines,
// into one shape, so a test checks both formats with the same code.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testlib {

// The records of a CSV text: fields split at commas outside quotes, quoted fields
// unquoted, a record ended by a line break outside quotes. A malformed text (a
// quote inside an unquoted field, text after a closing quote, an unterminated
// quote) sets *error and returns what was read before it.
std::vector<std::vector<std::string>> parse_csv(const std::string& text, std::string* error);

// A row by field name; nullopt for an empty CSV field or a JSON null. JSON numbers
// and booleans are kept as their text.
using Row = std::map<std::string, std::optional<std::string>>;

// The rows of a CSV text with its header, or of JSON lines. Any fault (a line that
// does not parse, a row whose field count or names differ from the first) is added
// to *error.
std::vector<Row> read_csv_rows(const std::string& text, std::string* error);
std::vector<Row> read_json_rows(const std::string& text, std::string* error);

// A whole file's text ("" when it cannot be read).
std::string read_text_file(const std::string& path);

// The fields of a file, CSV or JSON lines by its name, read whole.
std::vector<Row> read_rows_file(const std::string& path, std::string* error);

// The number in a field; fails the test when it is null or not a number.
double number_of(const Row& row, const std::string& field);

// What the connection records of a run say that its text report does not: every
// summary line the records determine (counted connections, byte and duration
// averages, SYNs taken, resets, dropped by the server, in progress, closing),
// compared; "" when they agree.
std::string records_disagree_with_report(const std::vector<Row>& records,
                                         const std::string& report);

}  // namespace testlib
