#pragma once
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "archive/TArchiveDelivery.hpp"
#include "archive/TArchiveWriter.hpp"
#include "clients/TClientEvents.hpp"
#include "clients/TInputBuffer.hpp"
#include "config/TAnalisador.hpp"
#include "db/TResultTable.hpp"
#include "lis/TLisLookups.hpp"
#include "lis/TLisQuery.hpp"
#include "protocol/Controls.hpp"
#include "protocol/Headers.hpp"
#include "protocol/Lines.hpp"
#include "protocol/TLinkReceiver.hpp"
#include "util/TDateTime.hpp"

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
  // Where complete result messages go (spool, then the archive folder); when
  // absent they are written straight into `archive`.
  TArchiveDelivery* delivery = nullptr;
  TClock clock;
  // True: a host query's lookups are left to the connection layer (QueryPending,
  // TakeLisQuery, AnswerQuery), which asks the LIS off the service thread and
  // finds the device at the first query. False: `lis` is asked at once.
  bool lookupsDeferred = false;
  // Counts what happens for the status page and metrics; null counts nothing.
  TClientEvents* events = nullptr;
};

// The record of one analyzer connection: what was received and not yet
// consumed, what waits to be sent, the ASTM handshake state and the analyzer
// that identification found. Methods are spread over files by concern, and
// the files call downwards only: reception and dispatch, then the protocol
// handlers, then completeness and extraction, identification, archive files
// and lookups, then the record's own buffer operations (TSocketClient.cpp).
class TSocketClient {
 public:
  TSocketClient(const std::string& cliente_id, const std::string& pasta_saida, TClientContext pContext = {});
  ~TSocketClient();

  std::string id;
  TInputBuffer inputBuffer;              // received lines, arrival order, with their facts
  std::deque<std::string> outputBuffer;  // reply items, first in first out
  bool buffer_receiving_waiting_terminator = false;
  std::string buffer_receiving_terminator;
  std::string buffer_reading_terminator;
  bool usingFrameToFrame = false;
  bool using_multiline = false;
  bool inTransferPhase = false;
  std::unique_ptr<TAnalisador> analisador;
  std::string pasta_saida;

  // --- reception and dispatch (TSocketClientReception.cpp)
  void ReadMessage(const std::string& msg);
  void AddInputBuffer(const std::string& msg);
  std::string ProcessBuffer();
  // A whole E1381 frame received during a transfer: refused with NAK when its
  // checksum does not match (unless verificarChecksum is off), acknowledged
  // without storing it again when it repeats the previous frame (our ACK was
  // lost), otherwise handled as a chunk (stored and acknowledged).
  void ReadFrame(const TLinkReceiver::TEvent& frame);
  // Hands one link event to reception: a frame to ReadFrame, text, ENQ and
  // EOT to ReadMessage (ACK and NAK belong to the sending side).
  void ReadEvent(const TLinkReceiver::TEvent& event);
  // The transfer ended without EOT (the analyzer fell silent, or the
  // connection closed): a message whose terminator record arrived is
  // processed as at EOT; anything else is dropped and logged whole.
  void EndTransferWithoutEot(const std::string& motivo);

  // --- the input buffer (TSocketClient.cpp)
  bool HasInBuffer(const std::string& pStr) const;
  // Bytes held in the input buffer (for the size bound of the connection layer).
  size_t InputBufferBytes() const;

  // --- identification (TSocketClientIdentification.cpp)
  int32_t GetProtocolInBuffer();
  static bool IsLineASTM(const std::string& linha) { return protocol::IsLineASTM(linha); }
  static bool IsLineHL7(const std::string& linha) { return protocol::IsLineHL7(linha); }
  bool IsLineJson(const std::string& linha) const;
  void PrepararBuffer(TLines& bloco) const;
  bool IsMultiLineMessage(const std::string& msg) const;

  // --- completeness and extraction (TSocketClientBlocks.cpp)
  bool BufferPossuiBlocoCompleto();
  // The first block of the input buffer; sourceLines (when given) receives the
  // number of input lines the block was cut from, skipped lines included.
  TLines GetBlocoInBuffer(size_t* sourceLines = nullptr);

  // --- archive files (TSocketClientArchive.cpp; ConsumeInputLines in TSocketClient.cpp)
  std::string GetFileName(const TLines& bloco);
  // Writes the block atomically (".tmp" then rename, never replacing a file);
  // throws std::runtime_error when it cannot.
  void SaveBlock(const std::string& path, const TLines& bloco);
  // Hands a complete result message to the delivery, named later by the same
  // rules as GetFileName; "Item salvo em" is logged when its file is written.
  // Throws std::runtime_error when nothing holds it (see TArchiveDelivery::Accept)
  // or when the block's identifier cannot be read.
  void ArchiveBlock(const TLines& bloco, TArchiveDelivery::TWhenSpoolFails whenSpoolFails);
  // The block with what naming needs, complete now, from this connection.
  TArchiveEntry EntryFor(const TLines& bloco) const;
  // Removes `count` lines from the head of the input buffer, then the terminator
  // markers that directly follow them.
  void ConsumeInputLines(size_t count);
  // True when the line holds nothing but blanks and control characters.
  static bool IsBlankLine(const std::string& linha) { return protocol::IsBlankLine(linha); }

  // --- LIS lookups (TSocketClientLookups.cpp)
  // A host query waits for the LIS; until AnswerQuery the record takes no input.
  bool QueryPending() const { return pending_ != nullptr; }
  // What the pending query asks the LIS (handed over once).
  TLisQuery TakeLisQuery();
  // Replies to the pending query with the LIS's answer, then goes on with
  // what the query interrupted: the rest of the input buffer, the end of the transfer.
  void AnswerQuery(TLisAnswer answer);
  std::unique_ptr<TAparelhoTevarin> GetAparelhoTevarinInDB();
  std::unique_ptr<TResultTable> GetDadosProtocolo(const TAnalisador& pAnalisador,
                                                  const std::string& pProtocolo);
  std::unique_ptr<TResultTable> GetExamesProtocolo(const TAnalisador& pAnalisador, int32_t pPED_COD);

  // --- protocol handlers (TSocketClientAstm*.cpp, TSocketClientHl7*.cpp, TSocketClientJson.cpp)
  std::string ProcessASTM();
  // Builds and queues the reply to an ASTM query block; "use buffer" when
  // queued ("" while it waits for the LIS).
  std::string ProcessQueryASTM(const TLines& msg);
  std::string ProcessHL7();
  // Answers a query (QRY^Q02) or an order (ORM^O01) of type pTipo; answers the
  // reply text ("" while it waits for the LIS).
  std::string ProcessQueryHL7(const TLines& msg, int32_t pTipo);
  std::string ProcessJsonDiagno();

 private:
  // --- the context's parts (TSocketClient.cpp)
  void Log(const std::string& txt) const;
  // Calls the context's event port when there is one.
  template <typename F>
  void Count(F&& f) const {
    if (context_.events) f(*context_.events);
  }
  void LogError(const std::string& where, const std::exception& e, const std::string& detail = {}) const;
  bool Debug() const;
  TDateTime Now() const;
  TArchiveWriter& Archive();
  TArchiveDelivery& Delivery();
  // Logs what stays in the input buffer after a handler ran.
  void LogResidue() const;
  // Archives an HL7 result block and queues its ACK^R01 (ProcessHL7).
  void ArchiveHL7(TLines& bloco);

  // A host query between its question to the LIS and its reply.
  struct TPendingQuery {
    enum Kind { Astm, Hl7 } kind = Astm;
    TLines msg;             // the query message
    int32_t tipo = 0;       // HL7: QRY or ORM
    TLisQuery query;        // what it asks the LIS
    bool perguntado = false;  // the query was handed to the connection layer
    bool fimDeTransferencia = false;  // the EOT that started the processing still has to be finished
  };
  // Asks the LIS for the query: at once through `lis` (answers the reply as
  // the handler returns it), or left pending (answers "").
  std::string AskLis(std::unique_ptr<TPendingQuery> pendente);
  // The reply with the LIS's answer.
  std::string FinishQuery(TPendingQuery& pendente, TLisAnswer& answer);
  std::string ReplyQueryASTM(const TLines& msg, TLisAnswer& answer);
  std::string ReplyQueryHL7(const TLines& msg, int32_t pTipo, TLisAnswer& answer);
  // The end of the processing that an EOT started.
  void FinishEot();

  TClientContext context_;
  std::unique_ptr<TPendingQuery> pending_;
  // The analyzer's device is looked up with its first host query (deferred lookups).
  bool aparelhoPendente_ = false;
  // The handler runs again after a query that waited: blocks were handled before it.
  bool continuandoConsulta_ = false;
  TFileArchiveWriter fileArchive_;  // the writer when the context names none
  std::unique_ptr<TArchiveDelivery> ownDelivery_;  // straight through, when the context names no delivery

  // Whether the previous chunk ended exactly at a line break (continuation join).
  bool lastChunkEndedAtBreak_ = true;
  // Whether the previous chunk ended with CR (its LF may open the next chunk).
  bool lastChunkEndedWithCR_ = false;
  // The last frame stored in this transfer, and the number the next one should carry.
  std::string lastFrame_;
  char nextFrameNumber_ = '1';
  // True while the processing that EOT starts runs (the last line can no longer grow).
  bool processandoEOT_ = false;
  // True when the next chunk may still be glued onto the last line of inputBuffer.
  bool UltimaLinhaPodeCrescer() const;
  // Index of the line that decides identification, or npos; sets *json when it is a JSON line.
  size_t LinhaDeIdentificacao(bool* json);
  // Fills the client analyzer from the header line that identified the client.
  void IdentificarPorCabecalho(const std::string& linha, bool completar);
  // Drops the lines at the head of inputBuffer that hold only blanks or control
  // characters (with keepVT, a line holding VT stays).
  void DropLeadingBlankLines(bool keepVT);
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
