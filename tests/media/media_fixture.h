// Fixture of the removable-media tests: a fresh root with the SD card folder,
// a cleared register image and mailbox, the card file manager opened, and a
// pump that runs the parts of a main-loop pass the media work goes through.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

#include "core/image/dpram.h"
#include "core/image/plcreg.h"
#include "exec/mainloop.h"
#include "exec/sys.h"
#include "media/cfapi.h"
#include "media/cfdpram.h"
#include "media/cfm.h"
#include "media/fileblk.h"
#include "media/filex.h"
#include <algorithm>
#include "tests/core/test_storage_support.h"

namespace media_test {

using storage_test::FileExists;
using storage_test::ReadFile;
using storage_test::WriteFile;

inline std::string Text(const std::vector<uint8_t> &v) { return std::string(v.begin(), v.end()); }

class MediaTest : public ::testing::Test {
protected:
    test_support::TempRoot root;

    void SetUp() override {
        WatchDogDisable = 1;  // a program store restarts the watchdog: not in a test process
        for (MntDriveRec &d : MntDrive) d.mounted = 0;
        FileMutex = 0;
        Cf_Media = Cf_Media2 = Cf_Media3 = FxMedia{};
        for (auto &b : CfFormatBusy) b = 0;
        plc_reg.fill(0);
        dpram.fill(0);
        Dpram_Init();
        CF_DpramAbandon();  // a request an earlier test left uncollected is gone with the area
        MkDir("mnt/USB0");
        BackTsk_Report();
        SYS_ResetRCBs(2);  // as start-up, before the card manager links its registers
        CFM_Open();
        File_Init();
    }
    void TearDown() override { File_JobsIdle(5000); }

    std::string P(const std::string &rel) const { return root / rel; }
    void MkDir(const std::string &rel) { ::mkdir(P(rel).c_str(), 0775); }
    void Put(const std::string &rel, const std::string &text) {
        WriteFile(P(rel), std::vector<uint8_t>(text.begin(), text.end()));
    }
    std::string Get(const std::string &rel) const { return Text(ReadFile(P(rel))); }
    bool Exists(const std::string &rel) const { return FileExists(P(rel)); }

    // The media part of one main-loop pass.
    static void Pass() {
        SYS_Update();
        CFM_Update();
        CFM_TheLoop(0);
    }
};

}  // namespace media_test
