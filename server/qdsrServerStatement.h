// The server side of a prepared statement: the contract's four statement
// operations arm the thread's deadline, take the session lock and forward
// to four abstract operations that the SQL engine's statement class
// implements. Exec also keeps the engine's statement counters (executing:
// up for the call and down again even when it raises; executed: only after
// a call that returned) and, with session statistics, sscStatements.
//
// Classes: TqdServerStatement. Owned by its database (contract list).
#pragma once

#include "client/qdsdServerEngine.h"

namespace qd {

class TqdServerEngine;

class TqdServerStatement : public TqdAbstractStatement {
 public:
  static const TqdClassInfo ClassInfo;
  const TqdClassInfo& ClassType() const override { return ClassInfo; }
  using TqdAbstractStatement::TqdAbstractStatement;

  [[nodiscard]] TqdResult Prepare(TqdStatementType aStatementType, const qdString& aQueryText,
                                  TStream* aStream) override;
  [[nodiscard]] TqdResult Exec(TqdAbstractCursor*& aCursor, TqdOpenMode aOpenMode, TStream* aStream) override;
  [[nodiscard]] TqdResult SetParams(const TqdSqlParamList& aParams, TStream* aStream) override;
  [[nodiscard]] TqdResult GetParams(TqdSqlParamList& aParams, TStream* aStream) override;

  [[nodiscard]] virtual TqdResult ssPrepare(TqdStatementType aStatementType, const qdString& aQueryText,
                                            TStream* aStream) = 0;
  [[nodiscard]] virtual TqdResult ssExec(TqdAbstractCursor*& aCursor, TqdOpenMode aOpenMode, TStream* aStream) = 0;
  [[nodiscard]] virtual TqdResult ssSetParams(const TqdSqlParamList& aParams, TStream* aStream) = 0;
  [[nodiscard]] virtual TqdResult ssGetParams(TqdSqlParamList& aParams, TStream* aStream) = 0;

  // Runs ssExec with the counters kept (raises what ssExec raises).
  TqdResult ssCountedExec(TqdAbstractCursor*& aCursor, TqdOpenMode aOpenMode, TStream* aStream);
};

}  // namespace qd
