#pragma once
#include "archive/TArchiveWriter.hpp"
#include "lis/TLisLookups.hpp"
#include "util/TDateTime.hpp"

class TClientEvents;
class TConfigJson;
class TLogSink;

// What a client record reaches outside itself, handed to it when it is made.
// Any part may be absent: no log, no configuration (no configured analyzers,
// no debug lines), no LIS (nothing found), the host's file system and clock.
struct TClientContext {
  TLogSink* log = nullptr;
  const TConfigJson* config = nullptr;
  TLisLookups* lis = nullptr;
  TArchiveWriter* archive = nullptr;
  TClock clock;
  // True: a host query waits while the connection layer asks the LIS off the
  // service thread (QueryPending, TakeLisQuery, AnswerQuery). False: `lis` is
  // asked at once.
  bool lookupsDeferred = false;
  // True: a complete result message waits while the connection layer has it
  // kept on disk off the service thread (KeepPending, TakeKeep, AnswerKept).
  // False: it is written straight into `archive` at once.
  bool keepDeferred = false;
  // Counts what happens for the status page and metrics; null counts nothing.
  TClientEvents* events = nullptr;
};
