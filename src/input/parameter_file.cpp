#include "input/parameter_file.h"

#include <algorithm>
#include <climits>
#include <initializer_list>
#include <string>
#include <string_view>

#include "io/error_report.h"
#include "io/console.h"
#include "io/fortran_io.h"
#include "io/messages.h"
#include "io/text_conversion.h"

namespace kova {
namespace {

constexpr std::string_view kCaller = "SUBROUTINE GETPRM";
constexpr std::string_view kBeginMessage =
    " ERROR IN SUBROUTINE GETPRM NEAR A BEGIN-GROUP(#) STATEMENT.";
constexpr std::string_view kNearEndMessage =
    " ERROR IN SUBROUTINE GETPRM NEAR AN END-GROUP(#) STATEMENT.";

// A word is recognised in the spelling given or entirely in lower case;
// mixed case within one word is not.
bool has(std::string_view text, std::string_view word) {
  if (text.find(word) != std::string_view::npos) return true;
  std::string lower(word);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text.find(lower) != std::string_view::npos;
}

// The value in upper case, its words separated by single blanks.
std::string normalised(std::string_view value) {
  std::string text;
  for (char c : value) {
    if (c == ' ' || c == '\t' || c == '\r') {
      if (!text.empty() && text.back() != ' ') text += ' ';
      continue;
    }
    text += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  if (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

bool oneOf(const std::string& text, std::initializer_list<std::string_view> words) {
  return std::find(words.begin(), words.end(), text) != words.end();
}

// A switch is read by looking for a letter anywhere in its value, so that
// files written for the rules keep their meaning; a value that says neither
// YES nor NO in so many words is still read that way, and warned about.
bool plainYesOrNo(std::string_view value) {
  return oneOf(normalised(value), {"YES", "NO", "Y", "N"});
}

// The same for the sources of the z-vectors, the L-matrix, PHI and DELTA.
bool plainSource(std::string_view value, bool savedAllowed) {
  const std::string text = normalised(value);
  if (oneOf(text, {"USER", "USE", "DEFAULT"})) return true;
  return savedAllowed && oneOf(text, {"SAVED", "SAVE"});
}

// Text of the file echoed in a message: bytes that a terminal would act on
// are shown as "?".
std::string echoed(std::string_view text) {
  std::string shown(trimmed(text));
  for (char& c : shown)
    if (c < ' ' || c > '~') c = '?';
  return shown;
}

enum class Group { None, All, Numbered };

struct Reader {
  const NamedUnit& file;
  const Capacities& capacities;
  Options& options;
  int outUnit;
  int logUnit;
  Group group = Group::None;
  int groupId = 0;  // of an open numbered group
  long lineNumber = 0;
  std::string_view statement{};  // the line being read

  void stop(std::string_view message) const { reportError(message, "STOP", logUnit); }

  // A statement the rules read in a way its writer may not have meant: the
  // run goes on, and the console and the log say what was done with it.
  void warnAtLine(std::string_view line, std::string_view what) const {
    const std::string text = " WARNING: LINE " + std::to_string(lineNumber) + " OF FILE " +
                             std::string(trimmed(file.name)) + ", \"" + echoed(line) + "\": " +
                             std::string(what);
    writeUnit(logUnit, text);
    consoleLine(text);
    ++options.lineWarnings;
  }

  void ignored(std::string_view what = "NO STATEMENT HAS THIS NAME") const {
    warnAtLine(statement, std::string(what) + "; THE LINE IS IGNORED.");
  }

  // A switch: `yes` is what the rules made of the value.
  bool yesNo(std::string_view value, bool yes) const {
    if (!plainYesOrNo(value))
      warnAtLine(statement, std::string("THE VALUE IS NEITHER YES NOR NO; TAKEN AS ") +
                                (yes ? "YES." : "NO."));
    return yes;
  }

  char source(std::string_view value, bool savedAllowed) const;

  // The settings this program added to the file's rules take whole words
  // only: a value they do not know stops the run instead of being guessed.
  std::string word(std::string_view key, std::string_view value,
                   std::initializer_list<std::string_view> words) const {
    const std::string text = normalised(value);
    if (oneOf(text, words)) return text;
    std::string known;
    for (std::string_view w : words) known += (known.empty() ? "" : ", ") + std::string(w);
    stopAtLine("AN UNKNOWN VALUE \"" + echoed(value) + "\" OF " +
               std::string(key) + " (ONE OF " + known + ")");
    return {};
  }
  // 0 ITERATIVE, 1 ML, 2 REML.
  int mlMethod(std::string_view value) const {
    const std::string w =
        word("METHOD", value, {"ML", "MAXIMUM LIKELIHOOD", "REML", "ITERATIVE"});
    return w == "ITERATIVE" || w.empty() ? 0 : w == "REML" ? 2 : 1;
  }

  // A message of our own for a case the statement rules leave open: it names
  // the line, since nothing else in it would.
  void stopAtLine(std::string_view what) const {
    stop(std::string(" ERROR IN SUBROUTINE GETPRM, ") + std::string(what) + " IN LINE " +
         std::to_string(lineNumber) + " OF FILE " + std::string(trimmed(file.name)) + ".");
  }

  int integer(std::string_view value) const {
    std::string field(value);
    int n = 0;
    CTI(field, n, logUnit, kCaller, "STOP");
    return n;
  }

  double real(std::string_view value) const {
    std::string field(value);
    double x = 0.0;
    CTODR(field, x, logUnit, kCaller, "STOP");
    return x;
  }

  void closeQuietly() const {
    int iocond = 0;
    closeFile(file.unit, logUnit, file.name, "KEEP", iocond, kCaller, "CONTINUE");
  }

  void beginGroup(std::string_view line);
  void endGroup(std::string_view line);
  void assignment(std::string_view line);
  void runWideRule(std::string_view key, std::string_view value);
  void groupRule(std::string_view key, std::string_view value);
  int rowCount(std::string_view value) const;
  int iterationCount(std::string_view value) const;
  void piRows(int rows, bool equalities);
  void commonRule(std::string_view key, std::string_view value);
};

// The identifier between the first "(" and the first ")" of a group
// statement that holds `opener` and GROUP; false when a part is missing or
// the brackets stand the wrong way round.
bool groupIdentifier(std::string_view line, std::string_view opener, std::string& id) {
  std::size_t open = line.find('(');
  std::size_t close = line.find(')');
  if (!has(line, opener) || !has(line, "GROUP") || open == std::string_view::npos ||
      close == std::string_view::npos || open > close)
    return false;
  id = std::string(line.substr(open + 1, close - open - 1));
  return true;
}

bool idFits(std::string& id) {
  int length = leftAdjust(id);
  return length >= 1 && length <= 3;
}

bool isAll(std::string_view id) {
  std::string_view contents = trimmed(id);
  return contents == "ALL" || contents == "all";
}

void Reader::beginGroup(std::string_view line) {
  std::string id;
  if (!groupIdentifier(line, "BEGIN", id)) stop(kBeginMessage);
  if (!idFits(id)) stop(" ERROR IN SUBROUTINE GETPRM WITH GROUP ID TOO LONG.");
  if (isAll(id)) {
    group = Group::All;
    return;
  }
  int n = integer(id);
  if (n > capacities.maxGid) stop(" ERROR IN SUBROUTINE GETPRM WITH GROUP IDGREATER THAN MAXGID.");
  // Identifiers run from 0; a negative one could never name a group.
  if (n < 0) stopAtLine("A NEGATIVE GROUP ID");
  group = n == 0 ? Group::All : Group::Numbered;
  groupId = n;
}

void Reader::endGroup(std::string_view line) {
  std::string id;
  if (group == Group::All) {
    if (!groupIdentifier(line, "END", id))
      stop(" ERROR IN SUBROUTINE GETPRM AN END-GROUP(#) STATEMENT.");
    if (!idFits(id)) stop(" ERROR IN SUBROUTINE GETPRM WITH GROUP ID");
    if (!isAll(id)) stop(kNearEndMessage);
  } else {
    if (!groupIdentifier(line, "END", id)) stop(kNearEndMessage);
    if (!idFits(id)) stop(" ERROR IN SUBROUTINE GETPRM WITH GROUP IDTOO LONG");
    if (integer(id) != groupId) stop(" ERROR IN SUBROUTINE GETPRM WITH CONFLICTINGGROUP ID'S.");
  }
  group = Group::None;
}

void Reader::assignment(std::string_view line) {
  std::size_t equal = line.find('=');
  std::string_view key = trimmed(line.substr(0, equal));
  std::string_view value = line.substr(equal + 1);
  if (key.empty()) stop(" ERROR IN SUBROUTINE GETPRM, WITH THE EQUAL SIGN.");
  if (group == Group::All)
    runWideRule(key, value);
  else
    groupRule(key, value);
}

// The iteration count given is the number of passes; stored is the number
// of passes after the starting one.
int Reader::iterationCount(std::string_view value) const {
  int n = integer(value);
  if (n > kMaxIterations)
    stopAtLine("AN ITERATION COUNT ABOVE " + std::to_string(kMaxIterations));
  return n > 1 ? n - 1 : 0;
}

void Reader::groupRule(std::string_view key, std::string_view value) {
  // METHOD (ML, REML or ITERATIVE) of one group, besides its iteration count.
  const bool method = has(key, "METHOD");
  if (!method && !has(key, "ITER")) {
    ignored("A NUMBERED GROUP TAKES ONLY ITERATIONS AND METHOD");
    return;
  }
  int n = method ? mlMethod(value) : iterationCount(value);
  OptionGroupTable& table = options.optionGroups;
  int capacity = std::min(capacities.optionGroups, kOptionGroupCapacity);
  if (table.NOPTG + 1 > capacity)
    reportShortage(kCaller, "OPTGID,...", table.NOPTG + 1, capacity, outUnit, logUnit);
  int i = table.NOPTG++;
  table.OPTGID[i] = groupId;
  table.name[i] = padded(method ? "METHOD" : "MAXITG", 12);
  table.value[i] = n;
}

// Restriction row counts are sizes: a negative count, or a PI total beyond
// the integer range, would mislead every later phase, so it is refused here.
int Reader::rowCount(std::string_view value) const {
  int n = integer(value);
  if (n < 0) stopAtLine("A NEGATIVE NUMBER OF RESTRICTION ROWS");
  return n;
}

// Inequality rows add to the PI total. An equality count given again
// replaces the earlier one in the total instead of being counted twice (the
// difference would otherwise pass for inequality rows).
void Reader::piRows(int rows, bool equalities) {
  long long total = static_cast<long long>(options.piRestrictionRows) + rows;
  if (equalities) total -= options.piEqualityRows;
  if (total > INT_MAX) stopAtLine("TOO MANY PI-RESTRICTION ROWS");
  options.piRestrictionRows = static_cast<int>(total);
  if (equalities) options.piEqualityRows = rows;
}

char sourceOf(std::string_view value, bool savedAllowed) {
  if (has(value, "USE")) return 'U';
  if (savedAllowed && has(value, "SAV")) return 'S';
  return 'D';
}

char Reader::source(std::string_view value, bool savedAllowed) const {
  const char c = sourceOf(value, savedAllowed);
  if (!plainSource(value, savedAllowed))
    warnAtLine(statement,
               std::string(savedAllowed ? "THE VALUE IS NONE OF USER, SAVED AND DEFAULT"
                                        : "THE VALUE IS NEITHER USER NOR DEFAULT") +
                   "; TAKEN AS " + (c == 'U' ? "USER." : c == 'S' ? "SAVED." : "DEFAULT."));
  return c;
}

void Reader::runWideRule(std::string_view key, std::string_view value) {
  Options& o = options;
  if (key.size() == 1) {
    switch (key[0]) {
      case 'T': case 't': o.T = integer(value); return;
      case 'M': case 'm': o.M = integer(value); return;
      case 'K': case 'k': o.K = integer(value); return;
      case 'P': case 'p': o.P = integer(value); return;
      default: ignored(); return;
    }
  }
  if (has(key, "COMMON")) {
    commonRule(key, value);
    return;
  }
  bool phi = has(key, "PHI");
  // A rule that finds its first word but none of its second ones does
  // nothing; the line is then as good as unknown.
  bool applied = true;
  if (has(key, "ENGINE")) {
    o.denseEngine = word("ENGINE", value, {"DENSE", "STATE SPACE", "STATE-SPACE"}) == "DENSE";
  } else if (has(key, "METHOD")) {
    const int m = mlMethod(value);
    o.maximumLikelihood = m > 0;
    o.restrictedLikelihood = m == 2;
  } else if (has(key, "CONSOLE")) {
    o.consoleTrace = word("CONSOLE", value, {"COMPACT", "TRACE"}) == "TRACE";
  } else if (has(key, "CONST")) {
    o.leadingOnes = yesNo(value, !has(value, "N"));
  } else if (has(key, "Z-")) {
    o.zSource = source(value, false);
  } else if (has(key, "L-")) {
    o.lSource = source(value, false);
  } else if (has(key, "INIT")) {
    if (phi) o.phiSource = source(value, true);
    else if (has(key, "DEL")) o.deltaSource = source(value, true);
    else applied = false;
  } else if (has(key, "ZERO")) {
    o.zeroPhi = yesNo(value, has(value, "Y"));
  } else if (has(key, "DIAG")) {
    if (phi) o.diagonalPhi = yesNo(value, has(value, "Y"));
    else if (has(key, "DEL")) o.diagonalDelta = yesNo(value, has(value, "Y"));
    else applied = false;
  } else if (has(key, "SAV")) {
    if (phi) o.savePhi = yesNo(value, !has(value, "N"));
    else if (has(key, "DEL")) o.saveDelta = yesNo(value, !has(value, "N"));
    else if (has(key, "BETA")) o.saveBeta = yesNo(value, !has(value, "N"));
    else applied = false;
  } else if (has(key, "MONTE")) {
    if (phi) o.monteCarloPhi = integer(value);
    else if (has(key, "DELTA")) o.monteCarloDelta = integer(value);
    else applied = false;
  } else if (has(key, "RESTR")) {
    if (phi) o.phiRestrictionRows = rowCount(value);
    else if (has(key, "PI")) piRows(rowCount(value), !has(key, "INEQ"));
    else if (has(key, "DELTA")) o.deltaRestrictionRows = rowCount(value);
    else applied = false;
  } else if (has(key, "ITER")) {
    o.iterations = iterationCount(value);
  } else if (has(key, "PRI")) {
    o.printLevel = integer(value);
  } else if (has(key, "STAT")) {
    o.statisticsLevel = integer(value);
  } else if (has(key, "TITLE")) {
    o.title = padded(trimmed(value), kTitleLength);
    centre(o.title);
  } else if (has(key, "WID")) {
    o.dataFieldWidth = integer(value);
  } else if (has(key, "OLS")) {
    o.ordinaryLeastSquares = yesNo(value, has(value, "Y"));
  } else if (has(key, "GLS") || has(key, "AR(1)")) {
    o.generalisedLeastSquares = yesNo(value, has(value, "Y"));
  } else if (has(key, "SING")) {
    o.sing = yesNo(value, has(value, "Y"));
  } else if (has(key, "HYP")) {
    o.hyp = yesNo(value, has(value, "Y"));
  } else if (has(key, "EVL")) {
    o.EVLTOL = real(value);
  } else {
    applied = false;
  }
  if (!applied) ignored();
}

// The common model's statements take whole words (any case): COMMON MODEL
// = REML, YES, ML or NO; COMMON PENALTY = YES or NO; COMMON THREADS = n.
void Reader::commonRule(std::string_view key, std::string_view value) {
  std::string word(trimmed(value));
  for (char& c : word)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  if (has(key, "THREAD")) {
    const int n = integer(value);
    if (n < 0) stopAtLine("A NEGATIVE NUMBER OF THREADS");
    options.commonThreads = n;
  } else if (has(key, "PENAL")) {
    if (word != "YES" && word != "NO") stopAtLine("COMMON PENALTY NEITHER YES NOR NO");
    options.commonPenalty = word == "YES";
  } else if (has(key, "MODEL")) {
    if (word == "REML" || word == "YES") options.commonModel = 'R';
    else if (word == "ML") options.commonModel = 'M';
    else if (word == "NO") options.commonModel = 'N';
    else stopAtLine("COMMON MODEL NOT ONE OF REML, YES, ML, NO");
  } else {
    stopAtLine("AN UNKNOWN COMMON STATEMENT (COMMON MODEL, COMMON PENALTY, COMMON THREADS)");
  }
}

}  // namespace

void GETPRM(const NamedUnit& file, const Capacities& capacities, Options& options,
            int outUnit, int logUnit) {
  options = Options{};
  Reader reader{file, capacities, options, outUnit, logUnit};
  int iocond = 0;
  openFile(file.unit, logUnit, file.name, "FORMATTED", "OLD", iocond, kCaller, "STOP");
  rewindFile(file.unit, logUnit, file.name, iocond, kCaller, "CONTINUE");
  if (iocond != 0) {
    reader.closeQuietly();
    reportError("ERROR IN REWINDING PARAMETER FILE IN SUBROUTINE GETPRM.", "STOP", logUnit);
  }
  std::string line;
  for (;;) {
    if (readLine(file.unit, line) != 0) {
      reader.closeQuietly();
      reportError("ERROR IN READING DATA IN SUBROUTINE GETPRM.  CHECK DATA AND THE TWO CLOSING LINES.",
                  "STOP", logUnit);
    }
    ++reader.lineNumber;
    // The end line is recognised before anything else, even inside a
    // statement; a group left open there is accepted.
    if (isEndOfData(line)) break;
    if (trimmed(line).empty() || line.find('!') != std::string::npos) continue;
    reader.statement = line;
    if (reader.group == Group::None)
      reader.beginGroup(line);
    else if (line.find('=') == std::string::npos)
      reader.endGroup(line);
    else
      reader.assignment(line);
  }
  reader.closeQuietly();
}

}  // namespace kova
