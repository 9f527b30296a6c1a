// The choice of engine and what the plan must hold for it.
#include "engine/pass_engine.h"

#include "engine/pass_engines.h"

namespace kova {

const char* passEngineName(PassEngineKind kind) {
  return kind == PassEngineKind::Dense ? "DENSE" : "STATE SPACE";
}

std::unique_ptr<PassEngine> makePassEngine(PassEngineKind kind, const GroupDims& dims,
                                           const EngineArrays& arrays) {
  if (kind == PassEngineKind::Dense) return std::make_unique<DenseEngine>(arrays);
  return std::make_unique<StateSpaceEngine>(dims, arrays);
}

ScratchNeed passEngineRegressNeed(PassEngineKind kind, int NUMT, int M, int n) {
  return kind == PassEngineKind::Dense ? DenseEngine::regressNeed(NUMT, n)
                                       : StateSpaceEngine::regressNeed(NUMT, M, n);
}

EngineNeeds passEngineNeeds(PassEngineKind kind, const GroupDims& dims, int piRows,
                            bool wantsFactor, bool eigenvalues) {
  EngineNeeds needs;
  if (kind == PassEngineKind::Dense) {
    needs.scratch = DenseEngine::need(dims, piRows);
    return needs;
  }
  needs.squareArrays = false;
  needs.factor = wantsFactor;
  needs.store = StateSpaceEngine::storeLength(dims);
  needs.scratch = StateSpaceEngine::need(dims, piRows, eigenvalues);
  return needs;
}

}  // namespace kova
