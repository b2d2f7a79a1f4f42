#pragma once

// tivframe's window: one DTM in a project, its functions opening their pages in tabs.

#include <QMainWindow>
#include <QPointer>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "FrameHost.h"
#include "Gui.h"
#include "ProjectFile.h"
#include "Prompts.h"
#include "Session.h"
#include "com/ComPtr.h"
#include "fdt/ControlInterfaces.h"
#include "fdt/FdtInterfaces.h"
#include "tivmate/DTMMain.h"

class QLabel;
class QStandardItemModel;
class QTabWidget;
class QTreeView;
class QMenu;

namespace tivframe {

// A function the DTM offers: its id, label and name as the functions document gives them.
struct FunctionEntry {
    std::string id, label, name;
};
// The visible functions with a user interface; empty for a document that does not load.
std::vector<FunctionEntry> ParseFunctions(const std::string& document);
// The frame's call of a function, as the DTM's ActiveX information takes it.
std::string FunctionCallDocument(const std::string& functionId);
// The page of a function when the DTM does not name one itself.
std::string FallbackProgId(const std::string& functionId);

class MainWindow : public QMainWindow {
public:
    explicit MainWindow(Options options);
    ~MainWindow() override;

    // Each returns false, with the reason in the status bar and Error(), when it fails. New and
    // Open ask whether to save a changed project first (AskToSave) and keep it on Cancel; Open
    // reads the file before that, so a file it cannot read leaves the project as it was.
    bool NewProject();
    bool OpenProject(const std::filesystem::path& file);
    bool SaveProject(const std::filesystem::path& file);
    // Saves to the project's file, asking for one (AskProjectFile) when it has none yet.
    bool SaveProject();
    // Shows the function's page (a function already open only comes to the front).
    bool OpenFunction(const std::string& functionIdOrName);
    void ClosePage(int tab);
    bool SetLanguage(std::int32_t languageId);
    // Pages first, then the DTM; the window stays.
    void ReleaseProject();
    // Ends the project without asking (no user to answer); says on stderr, with `why`, when
    // changes are lost.
    void DiscardProject(const std::string& why);

    const std::vector<FunctionEntry>& Functions() const { return functions_; }
    QTabWidget* Tabs() const { return tabs_; }
    bool Dirty() const { return dirty_; }
    const std::string& Error() const { return error_; }
    // The invoke ids the pages reported as closed, in order.
    const std::vector<std::string>& ClosedPages() const { return closed_; }
    // The invoke id under which the page in `tab` was opened; empty for no page.
    std::string InvokeIdOf(int tab) const;
    // The container the DTM and its pages report to.
    FrameHost* Host() const { return frame_.get(); }
    // Null while no project is open.
    tivmate::_DTMMain* Dtm() const { return dtm_.get(); }

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    struct Page {
        std::string functionId, invokeId;
        com::ComPtr<fdt::IDtmActiveXControl> control;
        QPointer<QWidget> widget;
        bool reported = false;  // its OnApplicationClosed has come
    };

    bool CreateDtm(const std::optional<Project>& project);
    // True when the project may go: unchanged, saved, or its changes discarded by the user.
    bool MayPutProjectAside();
    // The status bar's adapter line, from the DTM's own status members.
    void UpdateAdapterState();
    void FocusPage(QWidget* page);
    bool Fail(const std::string& why);
    void Notified(const std::string& event, const std::string& detail);
    void ReleasePage(std::size_t index);
    void SetDirty(bool dirty);
    void Refresh();
    std::string ProgIdFor(const std::string& functionId);

    Options options_;
    com::ComPtr<tivmate::_DTMMain> dtm_;
    com::ComPtr<FrameHost> frame_;
    std::vector<FunctionEntry> functions_;
    std::vector<Page> pages_;
    std::vector<std::string> closed_;
    std::optional<std::filesystem::path> file_;
    std::string tag_;
    std::string error_;
    std::string releasing_;
    bool releasingReported_ = false;
    bool dirty_ = false;

    QTreeView* tree_;
    QStandardItemModel* model_;
    QTabWidget* tabs_;
    QMenu* functionsMenu_;
    QLabel* adapterState_;
};

}  // namespace tivframe
