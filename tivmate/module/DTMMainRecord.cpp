// DTMMain: the cyclic record — start and stop requests, measured values into the record
// buffer and its CSV file, the end by time or overrun.

#include <charconv>
#include <cmath>
#include <fstream>
#include <limits>

#include "core/HexConversions.h"
#include "core/Trace.h"
#include "module/DTMMain.h"
#include "os/TimeUtil.h"

namespace tivmate {

namespace {

constexpr char kRecordHeader[] = "Date;Time;mSec;ValueNumber;DataType;Value;Timestamp;ShortStatus";
constexpr char kLineEnd[] = "\r\n";
// The driver holds ten measured-value slots for objects 1..30 of types 0..2.
constexpr std::size_t kMaxRecordPairs = 10;

std::string TimeText(const os::SystemTime& t) {
    return std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" +
           std::to_string(t.second) + "," + std::to_string(t.milliseconds);
}

// The shortest text that reads back as the same double.
std::string NumberText(double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

// A path as a device DTM may write it: either separator.
std::filesystem::path RecordPath(std::string name) {
    for (char& c : name)
        if (c == '\\') c = '/';
    return std::filesystem::path(name);
}

// High byte first.
std::uint16_t BytesToWord(std::uint8_t high, std::uint8_t low) {
    return static_cast<std::uint16_t>(high << 8 | low);
}

}  // namespace

std::string DTMMain::CheckCyclicRecordRequest(const clsCommunicationCall& request) const {
    const int n = request.NoOfBytes;
    if (n < 6 || request.Data.size() < static_cast<std::size_t>(n - 4))
        return "no record time (NoOfBytes " + std::to_string(n) + ")";
    if ((n - 6) % 2 != 0) return "a value pair is incomplete";
    const std::size_t pairs = static_cast<std::size_t>(n - 6) / 2;
    if (pairs > kMaxRecordPairs) return std::to_string(pairs) + " value pairs, at most 10";
    for (std::size_t i = 0; i < pairs; ++i) {
        const int object = request.Data[2 * i], type = request.Data[2 * i + 1];
        if (object < 1 || object > 30 || type > 2)
            return "value " + std::to_string(i + 1) + ": object " + std::to_string(object) +
                   " type " + std::to_string(type);
    }
    if (BytesToWord(request.Data[n - 6], request.Data[n - 5]) == 0) return "record time 0 s";
    const std::filesystem::path file = RecordPath(request.Filename);
    if (request.Filename.empty() || !file.has_filename()) return "no record file name";
    return {};
}

bool DTMMain::CreateRecordFile(const std::filesystem::path& file) {
    std::error_code error;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), error);
    if (error || std::filesystem::is_directory(file, error)) return false;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << kRecordHeader << kLineEnd;
    out.close();
    return !out.fail();
}

bool DTMMain::StartCyclicRecord(const clsCommunicator::Call& request, clsCommunicationCall& reply) {
    clsCommunicator& com = *m_Communicator;
    if (com.CyclicComActive) {
        reply.RecordState = "inProgress";
        AnswerTransaction(request->invokeId,
                          m_XMLHelp->TIVProtocolToXMLDocument(com.communicationReference, reply));
        DoMonitorMsg("Cyclic record in Progress", "", 0, 0);
        DoMonitorMsg("I_Callback.OnTransactionResponse()", "InvokeID=" + request->invokeId,
                     kColorBlue, 2);
        return true;
    }
    com.CyclicComReq = request;
    m_RecordWriteFailed = false;
    com.ClearRecordString();
    // A record the driver cannot hold fails before anything is touched.
    const auto refuse = [&](const std::string& reason) {
        WriteTrace("StartCyclicRecord", reason + ": recFail");
        DoMonitorMsg("Cyclic record refused", reason, kColorBlue, 2);
        SendCyclicRecordResponse("recFail");
        return false;
    };
    if (!m_tivdrv) return refuse("no driver");
    if (const std::string reason = CheckCyclicRecordRequest(*request); !reason.empty())
        return refuse(reason);
    const std::vector<std::uint8_t>& d = request->Data;
    const int n = request->NoOfBytes;

    FreeMeasuredValueSlots();
    com.ClearCyclicColl();
    for (int i = 0; i + 8 <= n; i += 2) {
        clsCyclicElement element;
        element.ValueNo = static_cast<std::uint8_t>(i / 2 + 1);
        element.CylicValNo = d[i];
        element.DataType = d[i + 1];
        com.AddCyclDataInfo(element);
        std::int32_t r = 0;
        m_tivdrv->AssignMvPara(element.ValueNo, element.DataType, element.CylicValNo, &r);
    }

    m_RecordFile = RecordPath(request->Filename);
    if (!CreateRecordFile(m_RecordFile)) {
        if (auto monitor = ControlAs<fdt::IMonitorView>(Monitor))
            monitor->MessageLine("Could not save Data", kColorBlue);
        FreeMeasuredValueSlots();
        SendCyclicRecordResponse("recFail");
        return false;
    }
    const auto wallNow = os::clock().systemNow();
    m_RecordStartTime = wallNow;
    request->RepeatCounter = m_Persistent.PersistentCommRetriesValue;

    const std::uint16_t secs = BytesToWord(d[n - 6], d[n - 5]);
    std::int32_t r = 0;
    if (m_Persistent.PersistentBufferSizeValue > 0) {
        // Bytes the driver is asked for: 64 per unit and second; beyond its range it would
        // wrap to a small, wrong buffer.
        const std::int64_t size = std::int64_t{m_Persistent.PersistentBufferSizeValue} * secs;
        if (size > std::numeric_limits<std::int32_t>::max() / 64) {
            FreeMeasuredValueSlots();
            return refuse("buffer of " + std::to_string(size) + " units too large");
        }
        m_tivdrv->put_BufferSize(static_cast<std::int32_t>(size));
    }
    if (com::FAILED(m_tivdrv->InitBuffer(&r)) || r != 0) {
        FreeMeasuredValueSlots();
        return refuse("InitBuffer " + std::to_string(r));
    }

    clsCommunicator::GetActualTimePlusInterval(request->ResponseTimeHigh, request->ResponseTimeLow,
                                               secs * 1000.0);
    request->ResponseTime = request->ResponseTimeHigh * 4294967296.0 + request->ResponseTimeLow;
    request->Deadline = os::clock().now() + std::chrono::seconds(secs);
    DoMonitorMsg("Cyclic record in progress --> ", TimeText(os::localSystemTime(wallNow)), 0, 0);

    std::int32_t state = 0;
    if (com::FAILED(m_tivdrv->get_RecState(&state)) || state == 0) {
        if (com::FAILED(m_tivdrv->StartRec(&r)) || r != 0) {
            FreeMeasuredValueSlots();
            return refuse("StartRec " + std::to_string(r));
        }
    }
    m_tivdrv->put_FilterType(10);
    com.CyclicComActive = true;
    m_RecordTimer->SetInterval(std::min<double>(secs * 1000.0, kMaxTimerIntervalMs));
    m_RecordTimer->SetEnabled(true);
    return true;
}

bool DTMMain::StopCyclicRecord(const clsCommunicator::Call& request, clsCommunicationCall& reply) {
    clsCommunicator& com = *m_Communicator;
    if (!com.CyclicComActive) return true;  // nothing to stop, nobody to answer
    reply.RecordState = FinishCyclicRecord("aborted");
    const std::string startId = com.CyclicComReq ? com.CyclicComReq->invokeId : std::string();
    com.CyclicComActive = false;
    AnswerTransaction(startId,
                      m_XMLHelp->TIVProtocolToXMLDocument(com.communicationReference, reply));
    DoMonitorMsg("Cyclic record aborted", "", 0, 0);
    DoMonitorMsg("I_Callback.OnTransactionResponse()", "InvokeID=" + startId, kColorBlue, 2);
    reply.RecordState = "finished";
    AnswerTransaction(request->invokeId,
                      m_XMLHelp->TIVProtocolToXMLDocument(com.communicationReference, reply));
    DoMonitorMsg("Abort Finished", "", 0, 0);
    DoMonitorMsg("I_Callback.OnTransactionResponse()", "InvokeID=" + request->invokeId, kColorBlue,
                 2);
    // Requests queued during the record go out now, not at some later event.
    SendProtocol();
    return true;
}

std::string DTMMain::FinishCyclicRecord(const std::string& state) {
    clsCommunicator& com = *m_Communicator;
    m_RecordTimer->SetEnabled(false);
    // Reception may still serve a request on the bus or a delayed answer.
    const bool wasActive = com.CyclicComActive;
    com.CyclicComActive = false;
    StopReceptionWhenIdle();
    com.CyclicComActive = wasActive;
    FreeMeasuredValueSlots();
    WriteRecordBuffer();
    return m_RecordWriteFailed ? "recFail" : state;
}

void DTMMain::FreeMeasuredValueSlots() {
    if (!m_tivdrv) return;
    for (std::int32_t i = 1; i <= 10; ++i) {
        std::int32_t r = 0;
        m_tivdrv->AssignMvPara(i, 0, 255, &r);
    }
}

void DTMMain::WriteRecordBuffer() {
    clsCommunicator& com = *m_Communicator;
    if (com.LengthOfRecordString() == 0) return;
    std::ofstream out(m_RecordFile, std::ios::binary | std::ios::app);
    out << com.RecordString();
    out.close();
    if (out.fail()) {
        // The lines are gone either way; keeping them would grow without bound.
        if (!m_RecordWriteFailed)
            WriteTrace("WriteRecordBuffer", "cannot append to the record file");
        m_RecordWriteFailed = true;
    }
    com.ClearRecordString();
}

void DTMMain::SendCyclicRecordResponse(const std::string& RecordState) {
    clsCommunicator& com = *m_Communicator;
    com.CyclicComActive = false;
    const std::string invokeId = com.CyclicComReq ? com.CyclicComReq->invokeId : std::string();
    AnswerCyclicRecord(invokeId, RecordState);
    SendProtocol();
}

void DTMMain::AnswerCyclicRecord(const std::string& invokeId, const std::string& RecordState) {
    clsCommunicationCall reply;
    reply.MessageType = 6;
    reply.ObjectType = 2;
    reply.NoOfBytes = 4;
    reply.RecordState = RecordState;
    AnswerTransaction(invokeId, m_XMLHelp->TIVProtocolToXMLDocument(
                                    m_Communicator->communicationReference, reply));
    DoMonitorMsg("I_Callback.OnTransactionResponse()", "InvokeID=" + invokeId, kColorBlue, 2);
}

void DTMMain::OnMvAvailableEvent() {
    clsCommunicator& com = *m_Communicator;
    // Values posted before an end, or while only acyclic traffic runs, belong to no record.
    if (!com.CyclicComActive || !m_tivdrv) return;
    std::int32_t k = 0;
    if (com::FAILED(m_tivdrv->get_ValueNr(&k)) || k < 1 || k > 10) return;
    const std::uint8_t cyclicNo = com.GetCyclicValueNo(static_cast<std::size_t>(k));
    if (cyclicNo == 0) return;  // a slot this record did not assign
    using ValueGet = com::HRESULT (tivlink::ITivDriver::*)(double*);
    using LongGet = com::HRESULT (tivlink::ITivDriver::*)(std::int32_t*);
    static constexpr ValueGet kValue[] = {
        &tivlink::ITivDriver::get_Value1, &tivlink::ITivDriver::get_Value2,
        &tivlink::ITivDriver::get_Value3, &tivlink::ITivDriver::get_Value4,
        &tivlink::ITivDriver::get_Value5, &tivlink::ITivDriver::get_Value6,
        &tivlink::ITivDriver::get_Value7, &tivlink::ITivDriver::get_Value8,
        &tivlink::ITivDriver::get_Value9, &tivlink::ITivDriver::get_Value10};
    static constexpr LongGet kTimeStamp[] = {
        &tivlink::ITivDriver::get_TimeStamp1, &tivlink::ITivDriver::get_TimeStamp2,
        &tivlink::ITivDriver::get_TimeStamp3, &tivlink::ITivDriver::get_TimeStamp4,
        &tivlink::ITivDriver::get_TimeStamp5, &tivlink::ITivDriver::get_TimeStamp6,
        &tivlink::ITivDriver::get_TimeStamp7, &tivlink::ITivDriver::get_TimeStamp8,
        &tivlink::ITivDriver::get_TimeStamp9, &tivlink::ITivDriver::get_TimeStamp10};
    static constexpr LongGet kStatus[] = {
        &tivlink::ITivDriver::get_Status1, &tivlink::ITivDriver::get_Status2,
        &tivlink::ITivDriver::get_Status3, &tivlink::ITivDriver::get_Status4,
        &tivlink::ITivDriver::get_Status5, &tivlink::ITivDriver::get_Status6,
        &tivlink::ITivDriver::get_Status7, &tivlink::ITivDriver::get_Status8,
        &tivlink::ITivDriver::get_Status9, &tivlink::ITivDriver::get_Status10};
    tivlink::ITivDriver& drv = *m_tivdrv;
    double value = 0;
    std::int32_t timeStamp = 0, status = 0;
    (drv.*kValue[k - 1])(&value);
    (drv.*kTimeStamp[k - 1])(&timeStamp);
    (drv.*kStatus[k - 1])(&status);
    const os::SystemTime t = os::localSystemTime(os::clock().systemNow());
    std::string line = std::to_string(t.day) + "." + std::to_string(t.month) + "." +
                       std::to_string(t.year) + ";" + std::to_string(t.hour) + ":" +
                       std::to_string(t.minute) + ":" + std::to_string(t.second) + ";" +
                       std::to_string(t.milliseconds) + ";" + std::to_string(cyclicNo) + ";" +
                       std::to_string(com.GetDataType(static_cast<std::size_t>(k))) + ";" +
                       NumberText(value) + ";" + std::to_string(timeStamp) + ";" +
                       // The status is a byte the driver widens to long.
                       ByteToHex(static_cast<std::uint8_t>(status & 0xFF)) + kLineEnd;
    com.AppendToRecordString(line);
    if (com.LengthOfRecordString() > static_cast<std::size_t>(std::max(0, m_CyclicRecordSaveSize)))
        WriteRecordBuffer();
}

void DTMMain::RecordTimerEvent() {
    clsCommunicator& com = *m_Communicator;
    if (!com.CyclicComActive || !m_tivdrv || !com.CyclicComReq) {
        m_RecordTimer->SetEnabled(false);
        return;
    }
    const auto left = com.CyclicComReq->Deadline - os::clock().now();
    if (left > os::Clock::duration::zero()) {
        const double ms = std::chrono::duration<double, std::milli>(left).count();
        m_RecordTimer->SetInterval(ms);
        DoMonitorMsg("Remaining Time: " +
                         std::to_string(static_cast<long long>(std::ceil(ms / 1000))) + " s",
                     "", 0, 0);
        return;
    }
    const std::string state = FinishCyclicRecord("finished");
    DoMonitorMsg("Cyclic record completed --> ",
                 TimeText(os::localSystemTime(os::clock().systemNow())), 0, 0);
    SendCyclicRecordResponse(state);
}

}  // namespace tivmate
