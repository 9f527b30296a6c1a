// kova_simulate: writes a kova input directory drawn from known parameters,
// with a TRUTH file beside it, for tests, examples and benchmarks.
//
// Exit status: 0 when the directory is written, 2 for bad input (the message
// names the option), 1 when a file cannot be written.
#include <cstdio>
#include <exception>

#include "command_line.h"
#include "validate.h"
#include "writer.h"

int main(int argc, char** argv) {
  using namespace kova::simulate;
  try {
    Options options = parseCommandLine(argc, argv);
    if (options.help) {
      std::fputs(usageText(), stdout);
      return 0;
    }
    Model model = buildModel(options);
    writeDirectory(model.opt.out, simulate(model));
    return 0;
  } catch (const BadInput& e) {
    std::fprintf(stderr, "kova_simulate: %s\n", e.what());
    return 2;
  } catch (const WriteFailure& e) {
    std::fprintf(stderr, "kova_simulate: %s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kova_simulate: %s\n", e.what());
    return 1;
  }
}
