#pragma once
// The simulator's command line, read with CLI11 like kova_prepare's.
//
// Every option of optionNames() is registered with a callback that fires as
// soon as CLI11 has read the option and its value, so options take effect in
// the order they are written: a later one overrides an earlier one, and a
// --config file counts where it stands. The value itself is interpreted by
// applyOption (options.h), the code that also reads config files, so a value
// means the same in both places. --help is ours: it prints usageText().
//
// CLI11 reads two spellings differently from what this program has always
// accepted, and the callbacks put them right by looking at the tokens CLI11
// has just consumed:
//   --name=      an empty value (CLI11 would take the next argument instead);
//   --flag=...   refused, a flag takes no value (CLI11 would read a boolean).
// An argument CLI11 does not know is only reported at the end of its parse;
// the callbacks report it as soon as an option after it is met, so the first
// fault on the line is the one named.
#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "options.h"

namespace kova::simulate {

namespace detail {

// The message for an argument that is no option of ours.
inline std::string strayArgumentMessage(const std::string& arg) {
  if (arg.size() > 2 && arg.rfind("--", 0) == 0) {
    std::size_t eq = arg.find('=');
    std::string name = eq == std::string::npos ? arg.substr(2) : arg.substr(2, eq - 2);
    return "unknown option --" + name + " (kova_simulate --help lists the options)";
  }
  return "unexpected argument \"" + arg + "\" (options start with --)";
}

}  // namespace detail

// Options of the command line: "--name value" or "--name=value"; throws
// BadInput for the first fault met.
inline Options parseCommandLine(int argc, char** argv) {
  Options o;
  const std::vector<std::string> tokens(argv + 1, argv + argc);
  // CLI11 consumes this from its back; tokens[0 .. consumed()-1] are read.
  std::vector<std::string> pending(tokens.rbegin(), tokens.rend());
  auto consumed = [&] { return tokens.size() - pending.size(); };

  CLI::App app{"", "kova_simulate"};
  app.set_help_flag();
  // remaining() rather than remaining_size(): the latter leaves out a "--".
  auto reportEarlierStray = [&] {
    std::vector<std::string> stray = app.remaining();
    if (!stray.empty()) throw BadInput(detail::strayArgumentMessage(stray.front()));
  };

  for (const std::string& name : optionNames()) {
    const std::string dashed = "--" + name;
    if (takesValue(name)) {
      app.add_option(dashed,
                     [&, name, dashed](const CLI::results_t& results) {
                       reportEarlierStray();
                       std::string value = results.front();
                       std::size_t end = consumed();
                       bool joined = tokens[end - 1] == dashed + "=" + value;
                       if (!joined && end >= 2 && tokens[end - 2] == dashed + "=") {
                         pending.push_back(tokens[end - 1]);  // not ours: read it again
                         value.clear();
                       }
                       applyOption(name, value, o);
                       return true;
                     })
          ->trigger_on_parse();
    } else {
      app.add_option(dashed,
                     [&, name, dashed](const CLI::results_t&) {
                       reportEarlierStray();
                       if (tokens[consumed() - 1] != dashed) throw BadInput(dashed + " takes no value");
                       applyOption(name, "", o);
                       return true;
                     })
          ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
          ->expected(0)
          ->trigger_on_parse();
    }
  }

  try {
    app.parse(pending);
  } catch (const CLI::ParseError& e) {
    reportEarlierStray();
    // What is left is an option at the end of the line without its value.
    const std::string& last = tokens.back();
    std::size_t eq = last.find('=');
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) == nullptr || last.rfind("--", 0) != 0)
      throw BadInput(e.what());
    if (eq == std::string::npos) throw BadInput(last + " needs a value");
    applyOption(last.substr(2, eq - 2), "", o);
  }
  reportEarlierStray();  // CLI11 lets a lone "--" at the end pass
  return o;
}

}  // namespace kova::simulate
