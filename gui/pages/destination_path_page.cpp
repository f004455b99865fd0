// The destination path page.
#include "gui/pages/destination_path_page.h"

#include <string>
#include <vector>

#include "disk/plugin.h"
#include "foundation/platform.h"
#include "gui/frame/app.h"
#include "gui/frame/messages.h"
#include "gui/frame/widgets.h"
#include "gui/job/convert_run.h"

int DestPath_PatternMessage(int32_t destKind)
{
    const DestinationRow* row = Destination_Row(destKind);
    return row != NULL ? row->patternMessage : MSG_PATTERN_ALL_FILES;
}

FXDEFMAP(CInputDestPropertyPage)
CInputDestPropertyPageMap[] = {
    FXMAPFUNC(SEL_COMMAND, CInputDestPropertyPage::ID_BROWSE, CInputDestPropertyPage::onCmdBrowse),
};
FXIMPLEMENT(CInputDestPropertyPage, CVdxPropertyPageBase, CInputDestPropertyPageMap,
            ARRAYNUMBER(CInputDestPropertyPageMap))

CInputDestPropertyPage::CInputDestPropertyPage()
    : pathLabel(NULL), pathField(NULL), browseButton(NULL), hintLabel(NULL)
{}

CInputDestPropertyPage::CInputDestPropertyPage(IPropertyPageEvent* events, ConversionJob* job,
                                               FXint index, FXComposite* parent)
    : CVdxPropertyPageBase(events, job, index, parent)
{
    title = Ui_MessageText(MSG_DEST_PATH_TITLE);
    description = Ui_MessageText(MSG_DEST_PATH_DESCRIPTION);
    pathLabel = Ui_CreateLabel(this, MSG_DEST_PATH_DESTINATION_FILE, 1, 2, 12, 2);
    pathField = Ui_CreateTextField(this, 1, 4, 32, 2);
    browseButton = Ui_CreateButton(this, MSG_DEST_PATH_BROWSE, this, ID_BROWSE, 33, 4, 5, 2);
    hintLabel = Ui_CreateTopLabel(this, -1, 1, 7, 37, 7);
}

void CInputDestPropertyPage::OnSetActive()
{
    SetWizardButtons(true, true, true);
    pathField->setText(job->destName, FALSE);
    if (job->destKind == DEST_SPLIT && job->splitCheck1)
        Ui_SetLabelMessage(hintLabel, MSG_DEST_PATH_SPLIT_HINT);
    else if (job->destKind == DEST_PLUGIN)
        Ui_SetLabelMessage(hintLabel, MSG_DEST_PATH_PLUGIN_HINT);
    else
        hintLabel->setText(FXString::null);
    pathField->setFocus();
}

long CInputDestPropertyPage::onCmdBrowse(FXObject*, FXSelector, void*)
{
    FXFileDialog dialog(this, Ui_MessageText(MSG_DEST_PATH_CHOOSE_FILE), 0, 0, 0, 500, 300);
    dialog.setSelectMode(SELECTFILE_ANY);
    dialog.setPatternList(Ui_MessageText(DestPath_PatternMessage(job->destKind)));
    if (!Ui_LastDirectory().empty()) dialog.setDirectory(Ui_LastDirectory());
    if (dialog.execute(PLACEMENT_OWNER)) {
        Ui_LastDirectory() = dialog.getDirectory();
        pathField->setText(dialog.getFilename(), FALSE);
    }
    return 1;
}

int CInputDestPropertyPage::OnWizardNext()
{
    FXString name = pathField->getText();
    name.trim();
    job->destName = name;
    int next = job->destKind == DEST_PLUGIN ? NextPlugin(name) : NextFile(name);
    if (next < 0) return -1;
    return events->GetNextPage(index);
}

int CInputDestPropertyPage::NextPlugin(const FXString& name)
{
    // What the plug-in takes need not be a file; where it names one the source is read from,
    // the plug-in would write over what it converts.
    const FXString absolute = FXPath::absolute(name);
    if (!name.empty() &&
        ConvertRun_CheckDestination(job, std::string(absolute.text(), (size_t)absolute.length()),
                                    NULL) == CONVERT_DEST_IS_SOURCE) {
        ConversionJob_ReleasePluginOutput(job);
        ShowMessage(this, MSG_APP_NAME, MSG_OPTIONS_DEST_IS_SOURCE, UI_MSG_ERROR);
        pathField->setFocus();
        pathField->selectAll();
        return -1;
    }
    PluginListEntry* entry = ConversionJob_DestPlugin(job);
    PluginModule* module = entry != NULL ? entry->module : NULL;
    void* context = module != NULL ? Plugin_CreateOutputContext(module) : NULL;
    int outcome = -1;  // 0 accepted, 1 refused silently, -1 failed
    if (context != NULL) {
        if (Plugin_HasSetOutputPathEx(module)) {
            int r = Plugin_SetOutputPathInt(module, context, name.text(), getParent());
            outcome = r == 0 ? 0 : r == 1 ? 1 : -1;
        } else if (Plugin_HasSetOutputPath(module)) {
            outcome = Plugin_SetOutputPathBool(module, context, name.text(), getParent()) ? 0 : -1;
        }
    }
    if (outcome == 0) {
        // A context left from an earlier visit is released before it is replaced.
        ConversionJob_ReleasePluginOutput(job);
        job->pluginDest = context;
        job->destPath = name;
        return 0;
    }
    if (context != NULL) Plugin_DestroyOutputContext(module, context);
    // No context of an earlier path is left behind either.
    ConversionJob_ReleasePluginOutput(job);
    if (outcome == -1) ShowMessage(this, MSG_APP_NAME, MSG_PLUGIN_FAILED, UI_MSG_ERROR);
    return -1;
}

int CInputDestPropertyPage::NextFile(const FXString& name)
{
    if (name.empty()) {
        ShowMessage(this, MSG_APP_NAME, MSG_SOURCE_FILE_UNUSABLE, UI_MSG_ERROR);
        return -1;
    }
    const FXString path = FXPath::absolute(name);
    const std::string utf8(path.text(), (size_t)path.length());
    // Writing over a file the source is read from would destroy what is being converted.
    if (ConvertRun_CheckDestination(job, utf8, NULL) != CONVERT_DEST_OK) {
        ShowMessage(this, MSG_APP_NAME, MSG_OPTIONS_DEST_IS_SOURCE, UI_MSG_ERROR);
        pathField->setFocus();
        pathField->selectAll();
        return -1;
    }
    if (!(job->destKind == DEST_SPLIT && job->splitCheck1)) {
        std::vector<std::string> files;
        ConvertRun_DestinationFiles(job, utf8, &files);
        bool exists = false;
        for (const std::string& f : files) exists = exists || Os_PathExists(f.c_str());
        if (exists && ShowMessage(this, MSG_CAPTION_PROGRAM, MSG_DEST_PATH_REPLACE_QUESTION,
                                  UI_MSG_YESNO) != 0)
            return -1;
    }
    job->destPath = path;
    return 0;
}
