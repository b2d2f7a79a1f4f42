#include "tivlink/protocol/DriverEngine.h"

#include "os/Clock.h"
#include "tivlink/TivResults.h"
#include "tivlink/core/Format.h"

namespace tivlink {

using namespace std::chrono_literals;

namespace {
constexpr int kDefaultBufferSize = 200;  // in 64-byte units
constexpr int kTimerPeriodMs = 100;
constexpr int kResourceTypeRawData = 10;
}  // namespace

DriverEngine::DriverEngine(Options options)
    : events_(diagnostics_),
      clientQueue_(os::MessageQueue::forCurrentThread()),
      image_(options.firmwareImage),
      usb_(options.transport ? options.transport : usbio::processTransport()),
      pipe_(usb_),
      loader_(state_, diagnostics_, events_, usb_, adapters_, pipe_, worker_, image_),
      lock_(diagnostics_),
      matcher_(state_, diagnostics_, events_),
      transmitter_(state_, diagnostics_, pipe_, loader_, matcher_),
      recorder_(state_, diagnostics_, events_, usb_, pipe_, transmitter_, worker_, *clientQueue_),
      memory_(state_, diagnostics_, usb_, pipe_, [this] { recorder_.StopRec(); }),
      login_(state_, events_),
      reception_(state_, diagnostics_, events_, usb_, loader_, login_, matcher_, recorder_,
                 *clientQueue_),
      timerDuties_(state_, diagnostics_, events_, usb_, login_, *clientQueue_) {
    if (options.log) diagnostics_.SetLog(options.log);
    if (options.window) diagnostics_.SetWindow(options.window);
    Initialize();
}

void DriverEngine::Initialize() {
    // Reception and transaction fields start as declared in DriverState; the rest here.
    Log("Entry:Initialize,----------");
    Buffer().SetSizeUnits(kDefaultBufferSize);
    Log("Call:Initialize->Set_BufferSize,Size:" + std::to_string(Buffer().SizeBytes()));
    Log("Return:Initialize->Set_BufferSize");
    diagnostics_.WindowSink()->Clear();
    adapters_.Clear();

    Log("Call:Initialize->InitBuffer,Size:" + std::to_string(Buffer().SizeBytes()));
    const int bufferResult = InitBuffer();
    Log("Return:Initialize->InitBuffer:" + std::to_string(bufferResult));

    Log("Call:Initialize->CreateThread");
    const int threadResult = CreateThread();
    Log("Return:Initialize->CreateThread:" + std::to_string(threadResult));

    state_.transactionWaitCounter = 0;
    state_.delayedWaitCounter = 0;
    state_.markerWaitCounter = 0;
    state_.markerStopWaitCounter = 0;
    state_.generalWaitCounter = 0;
    state_.statusPollDivider = 3;
    state_.timerIntervall = 3;
    timer_ = std::make_unique<os::PeriodicTimer>();
    timer_->start(kTimerPeriodMs, [this] { timerDuties_.Tick(); });
    Log("Initialize->TimeSetEvent:" + std::to_string(timer_->timerId()));

    Log("Call:Initialize->ScanUSB");
    const int found = adapters_.ScanUSB(usb_);
    Log("Return:Initialize->ScanUSB:" + std::to_string(found));
    if (found > 0) {
        state_.adapterPresent = true;
        Log("Call:Initialize->SetIntAdapterName, 1");
        loader_.SetIntAdapterName(1);
        Log("Return:Initialize->SetIntAdapterName");
        Log("Call:Initialize->ReadVID_PID");
        int vid = -1;
        int pid = -1;
        usb_.ReadVidPid(vid, pid);
        Log("Return:Initialize->ReadVID_PID: VID:" +
            Hex(static_cast<std::uint32_t>(vid) & 0xFFFF, 4) +
            "H,PID:" + Hex(static_cast<std::uint32_t>(pid) & 0xFFFF, 4) + "H");
    } else {
        state_.adapterPresent = false;
    }

    // The image is linked into the module; its address stands in for the resource handles.
    const auto* module = static_cast<const void*>(this);
    Log("Call:Initialize->FindResource,resource-module handle:" + Ptr(module) +
        ",resource name:BIXCODE,resource type:" + std::to_string(kResourceTypeRawData));
    if (image_.empty()) {
        Log("Return:Initialize->FindResource:resource handle:0");
        Log("Call:Initialize->RaiseLastWin32Error");
    } else {
        const auto* handle = static_cast<const void*>(image_.data());
        Log("Return:Initialize->FindResource:resource handle:" + Ptr(handle));
        Log("Call:Initialize->LoadResource,resource-module handle:" + Ptr(module) +
            ",resource handle:" + Ptr(handle));
        Log("Return:Initialize->LoadResource: memory handle:" + Ptr(handle));
        Log("Call:Initialize->LockResource,lock resource handle:" + Ptr(handle));
        Log("1:Return:Initialize->LockResource:");
        Log("2:Return:Initialize->LockResource: bix pointer:" + Ptr(image_.data()));
    }
    Log("Exit:Initialize: ++++++++++");
}

int DriverEngine::CreateThread() {
    Log("Entry:CreateThread, ----------");
    if (worker_.Exists()) {
        Log("Call:CreateThread->FreeThread");
        FreeThread();
        Log("Return:CreateThread->FreeThread");
    }
    Log("Call:CreateThread->InstantThread");
    int result = 0;
    const bool created =
        worker_.Create([this](TOSInstantThread& self, int) { reception_.Body(self); });
    Log("Return:CreateThread->InstantThread");
    if (created) {
        worker_.SetPriority(3);
        Show("Thread erzeugt");
        Log("CreateThread->\"thread ok\", priority:3");
    } else {
        state_.lastError = result::LastError::kNoBusConnection;
        Show("Thread nicht erzeugt");
        Log("CreateThread->\"thread not created\"");
        result = 1;
    }
    Log("Exit:CreateThread:" + std::to_string(result) + " ++++++++++");
    return result;
}

void DriverEngine::FreeThread() {
    if (!worker_.Exists()) return;
    state_.threadCommand = kThreadShutdown;
    worker_.Free();
}

int DriverEngine::DrvFree() {
    Log("Entry:DrvFree,----------");
    // Whatever the thread, the timer or a later call posts, and whatever is still queued,
    // stays away from the sink: after DrvFree it hears OnFree only.
    events_.Close();
    recorder_.Halt();
    Log("Call:DrvFree->StopRec");
    StopRec();
    Log("Return:DrvFree->StopRec");
    Log("Call:DrvFree->StopFileRec");
    StopFileRec();
    Log("Return:DrvFree->StopFileRec");
    Log("Call:DrvFree->CloseRecFile");
    CloseRecFile();
    Log("Return:DrvFree->CloseRecFile");
    if (timer_ && timer_->isRunning()) {
        Log("Call:DrvFree->TimeKillEvent");
        timer_->stop();
        Log("Return:DrvFree->TimeKillEvent");
    }
    timer_.reset();
    if (worker_.Exists()) {
        Log("DrvFree->\"destroy thread\"");
        FreeThread();
    }
    if (Buffer().HadBlock()) {
        Log("DrvFree->FreeMem");
        Buffer().Release();
        state_.lastError = result::InitBuffer::kTooLarge;
    }
    events_.InvokeDirect(kOnFree);
    Log("DrvFree->OnFree");
    diagnostics_.WindowSink()->Close();
    Log("Exit:DrvFree: ++++++++++");
    return 0;
}

DriverEngine::~DriverEngine() {
    Log("Entry:Destroy, ----------");
    Show("Destruktor");
    Log("Call:Destroy->DrvFree");
    DrvFree();
    Log("Return:Destroy->DrvFree");
    Log("Exit:Destroy: ++++++++++ \"call inherited destroy\" ++++++++++");
    // Events still queued run now; none can reach the sink once the window is gone.
    if (clientQueue_ && clientQueue_->isOwnerThread()) clientQueue_->processMessages();
    events_.Connect(nullptr);
    events_.CloseWindow();
}

int DriverEngine::SetThreadPriority(int priority) {
    worker_.SetPriority(priority);
    return 0;
}

void DriverEngine::SetTimerIntervall(int ticks) {
    if (ticks >= 1 && ticks <= 100) state_.timerIntervall = ticks;
}

void DriverEngine::SetTraDelay(int ms) {
    if (ms >= 0 && ms <= 1000) state_.traDelay = ms;
}

void DriverEngine::SetAdapterState(bool on) {
    if (state_.adapterPresent) pipe_.WriteCommand({0xD5, static_cast<std::uint8_t>(on ? 1 : 0)});
}

int DriverEngine::StartReception(bool assembleFrames) {
    state_.filterOn = assembleFrames;
    return StartRec();
}

}  // namespace tivlink
