// The abstract SQL engine the server engine points to: a state component
// whose statements the SQL layer's engine component allocates. Not a
// sub-engine: it has no registry.
//
// Ownership: a component in the owner tree of the server; statements it
// allocates belong to their database.
#pragma once

#include "client/qdsdServerEngine.h"
#include "foundation/qdllComponent.h"

namespace qd {

class TqdBaseSqlEngine : public TqdStateComponent {
 public:
  static const TqdComponentClass ClassInfo;
  const TqdComponentClass& ClassType() const override { return ClassInfo; }

  explicit TqdBaseSqlEngine(TqdComponent* aOwner) : TqdStateComponent(aOwner) {}

  virtual void PrepareShutdown() = 0;
  [[nodiscard]] virtual TqdResult StatementAlloc(TqdAbstractDatabase* aDatabase, TqdAbstractStatement*& aStatement,
                                                 uint32_t aTimeout) = 0;
};

}  // namespace qd
