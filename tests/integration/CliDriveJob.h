#pragma once
// One download job in a temporary save folder and store, run by a job driver to its end.

#include "download/JobFiles.h"
#include "download/QNCliDrive.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace tq::test {

struct DriveJob {
    TempDir dir;
    TDLMangeData job;
    TDriverSettings settings;
    int32_t peak = 0;
    std::vector<std::vector<std::string>> logs;

    DriveJob()
    {
        std::filesystem::create_directories(dir.file("save"));
        std::filesystem::create_directories(dir.file("store"));
    }

    DriveJob(const std::string& url, const std::string& fileName, int maxConnections) : DriveJob()
    {
        Prepare(url, fileName, maxConnections);
    }

    void Prepare(const std::string& url, const std::string& fileName, int maxConnections)
    {
        job.URL = url;
        job.Protocol = url.rfind("ftp://", 0) == 0 ? 1 : 2;
        job.SavePath = dir.file("save");
        job.FileName = fileName;
        job.TempFileName = fileName + "." + kPartialFileExt;
        job.BlockFileName = "1.blk";
        job.MaxConnections = maxConnections;
        job.RetryDelay = 0;
    }

    std::string Saved() const { return ReadFile(dir.file("save/" + job.FileName)); }

    // Runs one driver on the job; during is called on the test's thread while it runs.
    void Run(bool fresh = true, const std::function<void(QNCliDrive&)>& during = {},
             std::chrono::seconds limit = std::chrono::seconds(60))
    {
        QNCliDrive drive(job, dir.file("store"));
        TDriverSettings copy;
        copy.AnonPassword = settings.AnonPassword;
        copy.CheckDisk = settings.CheckDisk;
        copy.Passive = settings.Passive;
        if (settings.HttpProxy)
            copy.HttpProxy = std::make_unique<TproxyData>(*settings.HttpProxy);
        if (settings.FtpProxy)
            copy.FtpProxy = std::make_unique<TproxyData>(*settings.FtpProxy);
        for (const auto& p : settings.ProxyList)
            copy.ProxyList.push_back(std::make_unique<TproxyData>(*p));
        drive.Configure(std::move(copy));
        ASSERT_TRUE(drive.OpenJob(job.Protocol, fresh));
        drive.StartThread();
        if (during)
            during(drive);
        EXPECT_TRUE(drive.WaitEnded(limit));
        EXPECT_TRUE(drive.Ended());
        peak = drive.PeakConnections();
        logs = drive.CopyConnLogs();
    }
};

inline std::unique_ptr<TproxyData> MakeProxy(int32_t type, int port)
{
    auto p = std::make_unique<TproxyData>();
    p->Type = type;
    p->ServerName = "127.0.0.1";
    p->ServerPort = std::to_string(port);
    return p;
}

} // namespace tq::test
