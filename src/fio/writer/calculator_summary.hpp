// The one-line summary file of a calculator, calculator_summary.txt:
//   ideal_similarity: {"Space of he": {"doctor": 1.0416666666666667, ...}, ...}\n
// (the label is historical; the table written is the bias table).
#pragma once

#include <string>
#include <string_view>

#include "util/ordered_table.hpp"

namespace orvelle {

using BiasTable = OrderedTable<OrderedTable<double>>;

// {"name": {"text": ratio, ...}, ...} in insertion order, on one line.
void append_bias_debug(std::string& out, const BiasTable& bias);

// The whole file: label, table, one line feed.
std::string calculator_summary_content(const BiasTable& bias);

// folder + "/calculator_summary.txt", the folder taken as given: "./" gives
// ".//calculator_summary.txt", "" gives "/calculator_summary.txt".
std::string calculator_summary_path(std::string_view folder);

// Creates or truncates the file and writes the content. A folder holding a
// NUL byte, or any failing system call, stops the call with its error.
void write_calculator_summary(const BiasTable& bias, std::string_view folder);

}  // namespace orvelle
