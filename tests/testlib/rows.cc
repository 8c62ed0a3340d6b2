#include "testlib/files.h"
#include "testlib/rows.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace testlib {

std::vector<std::vector<std::string>> parse_csv(const std::string& text, std::string* error) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::string field;
  size_t i = 0;
  auto end_field = [&] {
    record.push_back(field);
    field.clear();
  };
  while (i < text.size()) {
    if (text[i] == '"') {
      if (!field.empty()) {
        *error += "quote inside an unquoted field at byte " + std::to_string(i) + "\n";
        return records;
      }
      for (++i;; ++i) {
        if (i >= text.size()) {
          *error += "unterminated quote\n";
          return records;
        }
        if (text[i] != '"') {
          field += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '"') {
          field += '"';
          ++i;
        } else {
          ++i;
          break;
        }
      }
      if (i < text.size() && text[i] != ',' && text[i] != '\n' && text[i] != '\r') {
        *error += "text after a closing quote at byte " + std::to_string(i) + "\n";
        return records;
      }
      continue;
    }
    if (text[i] == ',') {
      end_field();
    } else if (text[i] == '\n' || text[i] == '\r') {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
      end_field();
      records.push_back(record);
      record.clear();
    } else {
      field += text[i];
    }
    ++i;
  }
  if (!field.empty() || !record.empty()) {
    *error += "the last record has no line end\n";
    end_field();
    records.push_back(record);
  }
  return records;
}

std::vector<Row> read_csv_rows(const std::string& text, std::string* error) {
  const std::vector<std::vector<std::string>> records = parse_csv(text, error);
  std::vector<Row> rows;
  if (records.empty()) {
    *error += "no header row\n";
    return rows;
  }
  const std::vector<std::string>& header = records[0];
  for (size_t r = 1; r < records.size(); ++r) {
    if (records[r].size() != header.size()) {
      *error += "row " + std::to_string(r) + " has " + std::to_string(records[r].size()) +
                " fields, the header " + std::to_string(header.size()) + "\n";
      continue;
    }
    Row row;
    for (size_t f = 0; f < header.size(); ++f)
      row[header[f]] = records[r][f].empty() ? std::nullopt : std::optional(records[r][f]);
    rows.push_back(row);
  }
  return rows;
}

std::vector<Row> read_json_rows(const std::string& text, std::string* error) {
  std::vector<Row> rows;
  std::vector<std::string> names;
  std::istringstream in(text);
  size_t n = 0;
  for (std::string line; std::getline(in, line); ++n) {
    nlohmann::ordered_json j;
    try {
      j = nlohmann::ordered_json::parse(line);
    } catch (const std::exception& e) {
      *error += "line " + std::to_string(n) + " is not JSON: " + e.what() + "\n";
      continue;
    }
    if (!j.is_object()) {
      *error += "line " + std::to_string(n) + " is not an object\n";
      continue;
    }
    Row row;
    std::vector<std::string> these;
    for (const auto& [key, value] : j.items()) {
      these.push_back(key);
      if (value.is_null())
        row[key] = std::nullopt;
      else
        row[key] = value.is_string() ? value.get<std::string>() : value.dump();
    }
    if (rows.empty()) names = these;
    if (these != names) *error += "line " + std::to_string(n) + " has other fields\n";
    rows.push_back(row);
  }
  if (!text.empty() && text.back() != '\n') *error += "the last line has no line end\n";
  return rows;
}

std::string read_text_file(const std::string& path) { return read_file(path); }

std::vector<Row> read_rows_file(const std::string& path, std::string* error) {
  const std::string text = read_text_file(path);
  const bool csv = path.size() >= 4 && path.compare(path.size() - 4, 4, ".csv") == 0;
  return csv ? read_csv_rows(text, error) : read_json_rows(text, error);
}

double number_of(const Row& row, const std::string& field) {
  const auto it = row.find(field);
  if (it == row.end() || !it->second) {
    ADD_FAILURE() << field << " is missing or null";
    return 0;
  }
  try {
    size_t used = 0;
    const double v = std::stod(*it->second, &used);
    if (used == it->second->size()) return v;
  } catch (const std::exception&) {
  }
  ADD_FAILURE() << field << " is not a number: " << *it->second;
  return 0;
}

}  // namespace testlib

namespace testlib {

namespace {

// The number after `label` on the first line that starts with it; -1 if none.
long long number_after(const std::string& text, const std::string& label) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, label.size(), label) == 0) return std::stoll(line.substr(label.size()));
  return -1;
}

}  // namespace

std::string records_disagree_with_report(const std::vector<Row>& records,
                                         const std::string& report) {
  long long counted = 0, client = 0, server = 0, duration_ms = 0, syns = 0;
  std::map<std::string, long long> states;
  for (const Row& r : records) {
    states[r.at("state").value_or("?")]++;
    if (r.at("counted") != std::optional<std::string>("true")) continue;
    counted++;
    client += std::stoll(r.at("client_bytes").value_or("0"));
    server += std::stoll(r.at("server_bytes").value_or("0"));
    duration_ms += std::stoll(r.at("duration_us").value_or("0")) / 1000;
    syns += std::stoll(r.at("syns").value_or("0"));
  }
  auto average = [&](long long sum) { return counted == 0 ? 0 : sum / counted; };
  const struct {
    const char* label;
    long long records;
  } lines[] = {
      {"Total Connections (terminated by FIN): ", counted},
      {"Avg Client Data: ", average(client)},
      {"Avg Server Data: ", average(server)},
      {"Avg conn duration: ", average(duration_ms)},
      {"Number of SYNs taken to establish connections: ", syns},
      {"Connections terminated by RESET: ", states["reset"]},
      {"Number of unique connections dropped by the server: ", states["unanswered"]},
      {"Number of established connections in progress: ", states["open"] + states["closing"]},
      {"Number of connections in closing state: ", states["closing"]},
  };
  std::string differences;
  for (const auto& line : lines) {
    const long long reported = number_after(report, line.label);
    if (reported != line.records)
      differences += std::string(line.label) + "report " + std::to_string(reported) +
                     ", records " + std::to_string(line.records) + "\n";
  }
  return differences;
}

}  // namespace testlib
