#pragma once
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "clients/TArchiveHandOver.hpp"
#include "clients/TAstmHandler.hpp"
#include "clients/TBlocks.hpp"
#include "clients/TClientContext.hpp"
#include "clients/TClientEvents.hpp"
#include "clients/TClientFields.hpp"
#include "clients/TClientPorts.hpp"
#include "clients/THl7Handler.hpp"
#include "clients/TIdentification.hpp"
#include "clients/TJsonHandler.hpp"
#include "clients/TQueryFlow.hpp"
#include "clients/TReception.hpp"
#include "db/TResultTable.hpp"
#include "lis/TLisQuery.hpp"
#include "protocol/Controls.hpp"
#include "protocol/Headers.hpp"
#include "protocol/Lines.hpp"
#include "protocol/TLinkReceiver.hpp"

// The design's inTransferPhase, read from the one place that holds it: the
// reception's state (between the client's ENQ and its EOT or its silence).
class TTransferPhase {
 public:
  explicit TTransferPhase(const TReception& reception) : reception_(reception) {}
  operator bool() const { return reception_.InTransfer(); }
  friend std::ostream& operator<<(std::ostream& os, const TTransferPhase& p) { return os << bool(p); }

 private:
  const TReception& reception_;
};

// The record of one analyzer connection: the design's fields and operations
// over owners that each do one part of the work. The files of clients/ call
// downwards only, in this order (a file calls only files below it):
//   TSocketClient    the facade: one-line forwards to the owners below
//   TReception       reception and dispatch; its state machine (TReceptionStates)
//   TAstmHandler, THl7Handler, TJsonHandler   one per protocol, with its replies
//   TQueryFlow       a host query and the LIS: asked at once, or held for it
//   TBlocks          completeness and block extraction
//   TIdentification  protocol and analyzer from the header; the device when it comes
//   TArchiveHandOver a result message's name, entry and hand-over to the disk
//   TClientPorts     the context's parts (log, configuration, clock, LIS, archive, events)
//   TReceptionStates, TClientFields, TClientContext, TClientEvents   pure table and plain data
//   TInputBuffer     the received lines with their facts
// (tests/clients/ClientLayersTest.cpp holds the same order and checks the includes.)
class TSocketClient : public TClientFields {
 public:
  TSocketClient(const std::string& cliente_id, const std::string& pasta_saida, TClientContext pContext = {});
  ~TSocketClient();
  // The owners refer to the fields and to one another.
  TSocketClient(const TSocketClient&) = delete;
  TSocketClient& operator=(const TSocketClient&) = delete;

  // --- reception and dispatch (TReception)
  void ReadMessage(const std::string& msg) { reception_.ReadMessage(msg); }
  void AddInputBuffer(const std::string& msg) { reception_.AddInputBuffer(msg); }
  std::string ProcessBuffer() { return reception_.ProcessBuffer(); }
  void ReadFrame(const TLinkReceiver::TEvent& frame) { reception_.ReadFrame(frame); }
  void ReadEvent(const TLinkReceiver::TEvent& event) { reception_.ReadEvent(event); }
  void EndTransferWithoutEot(const std::string& motivo) { reception_.EndTransferWithoutEot(motivo); }
  TReceptionState ReceptionState() const { return reception_.State(); }

  // --- the input buffer
  bool HasInBuffer(const std::string& pStr) const { return inputBuffer.Contains(pStr); }
  // Bytes held in the input buffer (for the size bound of the connection layer).
  size_t InputBufferBytes() const { return inputBuffer.Bytes(); }
  void ConsumeInputLines(size_t count) { inputBuffer.Consume(count); }
  static bool IsBlankLine(const std::string& linha) { return protocol::IsBlankLine(linha); }

  // --- identification (TIdentification), completeness and extraction (TBlocks)
  int32_t GetProtocolInBuffer() { return reception_.GetProtocolInBuffer(); }
  static bool IsLineASTM(const std::string& linha) { return protocol::IsLineASTM(linha); }
  static bool IsLineHL7(const std::string& linha) { return protocol::IsLineHL7(linha); }
  bool IsLineJson(const std::string& linha) const { return identification_.IsLineJson(linha); }
  void PrepararBuffer(TLines& bloco) const;
  bool IsMultiLineMessage(const std::string& msg) const { return identification_.IsMultiLineMessage(msg); }
  bool BufferPossuiBlocoCompleto() { return reception_.BufferPossuiBlocoCompleto(); }
  TLines GetBlocoInBuffer(size_t* sourceLines = nullptr) { return blocks_.GetBlocoInBuffer(sourceLines); }

  // --- archive files (TArchiveHandOver)
  std::string GetFileName(const TLines& bloco) { return archive_.GetFileName(bloco); }
  void SaveBlock(const std::string& path, const TLines& bloco) { archive_.SaveBlock(path, bloco); }

  // --- what waits outside, for the connection layer (TReception, TQueryFlow, TArchiveHandOver):
  // a host query for the LIS, or a result message for the disk; one at a time.
  // True while a host query waits for the LIS; until AnswerQuery the record takes no input.
  bool QueryPending() const { return reception_.QueryPending(); }
  // What the waiting query asks the LIS (handed over once; std::logic_error otherwise).
  TLisQuery TakeLisQuery() { return reception_.TakeLisQuery(); }
  // Replies to the waiting query with the LIS's answer, then goes on with what
  // the query interrupted: the rest of the input buffer, the end of the transfer.
  void AnswerQuery(TLisAnswer answer) { reception_.AnswerQuery(std::move(answer)); }
  // True while a result message waits to be kept; until AnswerKept the record takes no input.
  bool KeepPending() const { return reception_.KeepPending(); }
  // The message to keep (handed over once; std::logic_error otherwise).
  TKeepRequest TakeKeep() { return reception_.TakeKeep(); }
  // The disk's answer: HL7 gets its ACK^R01 (or the line that it was not
  // saved), then the record goes on as after a query's answer.
  void AnswerKept(const TKept& kept) { reception_.AnswerKept(kept); }

  // --- LIS lookups (the context's LIS port; none without one)
  std::unique_ptr<TAparelhoTevarin> GetAparelhoTevarinInDB();
  std::unique_ptr<TResultTable> GetDadosProtocolo(const TAnalisador& pAnalisador, const std::string& pProtocolo);
  std::unique_ptr<TResultTable> GetExamesProtocolo(const TAnalisador& pAnalisador, int32_t pPED_COD);

  // --- protocol handlers (TAstmHandler, THl7Handler, TJsonHandler)
  std::string ProcessASTM() { return astm_.ProcessASTM(); }
  std::string ProcessQueryASTM(const TLines& msg) { return astm_.ProcessQueryASTM(msg); }
  std::string ProcessHL7() { return hl7_.ProcessHL7(); }
  std::string ProcessQueryHL7(const TLines& msg, int32_t pTipo) { return hl7_.ProcessQueryHL7(msg, pTipo); }
  std::string ProcessJsonDiagno() { return json_.ProcessJsonDiagno(); }

 private:
  // The owners, each over the fields and the owners below it (declared bottom up).
  TClientPorts ports_;
  TArchiveHandOver archive_;
  TIdentification identification_;
  TBlocks blocks_;
  TQueryFlow queries_;
  TAstmHandler astm_;
  THl7Handler hl7_;
  TJsonHandler json_;
  TReception reception_;

 public:
  TTransferPhase inTransferPhase{reception_};  // true from the client's ENQ until its EOT
};

// The records of the open connections, in insertion order; owns them.
class TSocketClientList {
 public:
  TSocketClient& AddItem(const std::string& client_id, const std::string& pasta_saida,
                         TClientContext pContext = {});
  // Frees the oldest record with the id.
  void FreeItem(const std::string& client_id);
  // Frees exactly this record.
  void FreeItem(const TSocketClient* client);
  TSocketClient* GetItem(const std::string& client_id);
  size_t Count() const { return items_.size(); }

 private:
  std::vector<std::unique_ptr<TSocketClient>> items_;
};
