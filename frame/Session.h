#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DeviceDtm.h"
#include "FrameHost.h"
#include "com/ComPtr.h"
#include "com/Variant.h"
#include "fdt/Persistence.h"
#include "tivmate/DTMMain.h"
#include "xml/SchemaCache.h"

namespace tivframe {

struct Options {
    bool json = false;
    bool monitor = false;
    std::int32_t language = 0x0009;
    std::string tag = "Tivframe1";
    std::string userLevel = "planningEngineer";
    std::filesystem::path schemas;  // the frame's schema directory
    // The "record" step's settings: object:type pairs, seconds, the CSV file.
    std::string recordPairs;
    int recordSeconds = 0;
    std::filesystem::path recordFile;
};

// One DTM driven through a list of steps, as a frame drives it. Each step prints its result
// (a line of text, or a JSON object with --json); notifications and monitor lines are printed
// as they come. Run returns 0 when every step ran, 1 at the first step that failed, 2 for
// steps that cannot be parsed (before any runs).
class Session {
public:
    explicit Session(Options options);
    ~Session();

    int Run(const std::vector<std::string>& steps);

    // The step words, for --help and for parsing.
    static const char* StepHelp();

private:
    struct Step {
        std::string name;
        std::vector<std::string> args;
    };
    static std::optional<std::vector<Step>> Parse(const std::vector<std::string>& words,
                                                  std::string& error);
    bool Do(const Step& step);

    bool Create();
    bool NewOrOpen(const std::optional<std::filesystem::path>& file);
    bool Environment(const std::string& tag);
    bool InitDevice();
    bool Config(const std::string& level);
    bool Language(std::int32_t id);
    bool Status();
    bool WaitReady(double seconds);
    bool Get(const std::string& name);
    bool Set(const std::string& name, const std::string& value);
    bool Save(const std::filesystem::path& file);
    bool ReleaseCommunication();
    bool Release();
    bool Demo();
    bool Text(const std::string& key);

    // The DTM's documents and its channel.
    bool Document(const std::string& step, const std::string& argument);
    bool Channels();
    bool ChannelParameters();
    bool Child(const std::string& step, const std::string& tag);
    com::ComPtr<com::IDispatch> FirstChannel(const std::string& step);
    // Prints a document the DTM returned, checked against the frame's schemas; false (and
    // the step failed) when it does not load.
    bool PrintDocument(const std::string& step,
                       std::vector<std::pair<std::string, com::Variant>> fields,
                       const std::string& document);
    // Playing a device DTM over the DTM's IFdtCommunication.
    bool Connect();
    bool Disconnect();
    bool Transaction(const std::string& step, const std::string& document);
    bool Delayed();
    bool Record(const std::string& pairs, int seconds, std::filesystem::path file);
    bool AbortRequests();
    bool Protocols();
    bool WaitAnswer(const std::string& kind, const std::string& invokeId, double seconds);
    std::string NextInvokeId(const std::string& step);
    com::ComPtr<fdt::IFdtCommunication> Communication();

    bool NeedDtm(const std::string& step);
    // Calls a member by name through IDispatch.
    com::HRESULT Invoke(const std::string& name, std::uint16_t flags,
                        std::vector<com::Variant> args, com::Variant* result);
    com::Variant Property(const std::string& name);
    bool Check(const std::string& step, com::HRESULT hr);

    void Print(const std::string& step,
               const std::vector<std::pair<std::string, com::Variant>>& fields);
    void Failed(const std::string& step, const std::string& why);

    Options options_;
    com::ComPtr<tivmate::_DTMMain> dtm_;
    com::ComPtr<FrameHost> frame_;
    com::ComPtr<MonitorLines> monitor_;
    bool embedded_ = false;
    std::shared_ptr<xml::SchemaCache> schemas_;
    com::ComPtr<DeviceDtm> device_;
    int invokeCount_ = 0;
};

}  // namespace tivframe
