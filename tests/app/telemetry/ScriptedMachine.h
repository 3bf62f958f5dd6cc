#pragma once
// The real CPU service (ServiceSet: Vennix and its user client) started in this process on a
// ScriptedProcessor and a manual clock, reached through EmbeddedServiceDirectory behind a
// directory that counts what crosses: every connection opened and closed, every call with its
// batch header. It can also make batch calls fail as a dead daemon would, to test what the
// callers keep when a batch fails.

#include "ScriptedProcessor.h"

#include "platform/EmbeddedServiceDirectory.h"
#include "telemetry/IntelCPU.h"

#include "host/ServiceSet.h"
#include "protocol/AccessorTypes.h"
#include "kext/platform/Clock.h"
#include "kext/platform/IOLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qarn::test {

// What crossed the connections of one CountingDirectory.
struct CallLog {
    struct Call {
        uint32_t selector = 0;
        uint32_t count = 0; // selector 1: the request's MSR count and CPUs
        uint32_t cpus = 0;
        size_t inputSize = 0;
        size_t outputRoom = 0;
    };

    std::atomic<int> opened{0};
    std::atomic<int> closed{0};
    // While set, selector 1 answers kIOReturnIPCError and reaches nothing.
    std::atomic<bool> failBatches{false};

    std::vector<Call> calls() const
    {
        std::lock_guard<std::mutex> lock(fLock);
        return fCalls;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(fLock);
        fCalls.clear();
    }
    void add(const Call& call)
    {
        std::lock_guard<std::mutex> lock(fLock);
        fCalls.push_back(call);
    }

private:
    mutable std::mutex fLock;
    std::vector<Call> fCalls;
};

class CountingConnection final : public ServiceConnection {
public:
    CountingConnection(std::unique_ptr<ServiceConnection> inner, std::shared_ptr<CallLog> log)
        : fInner(std::move(inner))
        , fLog(std::move(log))
    {
        ++fLog->opened;
    }
    ~CountingConnection() override { close(); }

    void close() override
    {
        if (fOpen.exchange(false)) {
            fInner->close();
            ++fLog->closed;
        }
    }
    bool isOpen() const override { return fOpen && fInner->isOpen(); }

protected:
    IOReturn perform(MethodCall& call) override
    {
        CallLog::Call entry;
        entry.selector = call.selector;
        entry.inputSize = call.structureInputSize;
        entry.outputRoom = call.structureOutputSize;
        if (call.selector == vennix::kAccessorMethodGetMSRs && call.structureInputSize >= 8) {
            entry.count = vennix::readU32(call.structureInput, 0);
            entry.cpus = vennix::readU32(call.structureInput, 4);
        }
        fLog->add(entry);
        if (call.selector == vennix::kAccessorMethodGetMSRs && fLog->failBatches) {
            call.scalarOutputCount = 0;
            call.structureOutputSize = 0;
            return vennix::kIOReturnIPCError;
        }
        size_t size = call.structureOutputSize;
        uint32_t scalars = call.scalarOutputCount;
        const IOReturn result = fInner->callMethod(call.selector, call.scalarInput, call.scalarInputCount,
                                                   call.structureInput, call.structureInputSize,
                                                   call.scalarOutput, &scalars, call.structureOutput, &size);
        call.scalarOutputCount = scalars;
        call.structureOutputSize = static_cast<uint32_t>(size);
        return result;
    }

private:
    std::unique_ptr<ServiceConnection> fInner;
    std::shared_ptr<CallLog> fLog;
    std::atomic<bool> fOpen{true};
};

// Finds services in the inner directory, under another name where renamed says so, and
// counts the connections they open.
class CountingDirectory final : public ServiceDirectory {
public:
    CountingDirectory(std::shared_ptr<ServiceDirectory> inner, std::shared_ptr<CallLog> log,
                      std::map<std::string, std::string> renamed = {})
        : fInner(std::move(inner))
        , fLog(std::move(log))
        , fRenamed(std::move(renamed))
    {
    }

    std::unique_ptr<MatchedService> getMatchingService(const std::string& name, std::string* why) override
    {
        const auto found = fRenamed.find(name);
        auto service = fInner->getMatchingService(found == fRenamed.end() ? name : found->second, why);
        if (!service)
            return nullptr;
        return std::make_unique<Service>(std::move(service), fLog);
    }
    std::string description() const override { return "counting " + fInner->description(); }

private:
    class Service final : public MatchedService {
    public:
        Service(std::unique_ptr<MatchedService> inner, std::shared_ptr<CallLog> log)
            : fInner(std::move(inner))
            , fLog(std::move(log))
        {
        }
        std::unique_ptr<ServiceConnection> open(uint32_t type, IOReturn* result) override
        {
            auto connection = fInner->open(type, result);
            if (!connection)
                return nullptr;
            return std::make_unique<CountingConnection>(std::move(connection), fLog);
        }

    private:
        std::unique_ptr<MatchedService> fInner;
        std::shared_ptr<CallLog> fLog;
    };

    std::shared_ptr<ServiceDirectory> fInner;
    std::shared_ptr<CallLog> fLog;
    std::map<std::string, std::string> fRenamed;
};

// The services on a scripted processor. Registers are set before or between calls; the
// services' own log lines are captured.
class ScriptedMachine {
public:
    // cpus rendezvous threads; the record says cores and threads (threads 0: cpus).
    ScriptedMachine(unsigned cpus, unsigned cores, unsigned threads = 0,
                    std::map<std::string, std::string> renamed = {})
    {
        auto owner = std::make_shared<Owner>(cpus, cores, threads);
        owner->set = vennix::ServiceSet::start(&owner->processor, &owner->clock);
        EXPECT_TRUE(owner->set) << "the services did not start";
        processor = &owner->processor;
        clock = &owner->clock;
        auto embedded = std::make_shared<EmbeddedServiceDirectory>(owner, *owner->set, "scripted processor");
        directory = std::make_shared<CountingDirectory>(embedded, log, std::move(renamed));
    }

    // IntelCPU::create on this machine's services.
    std::shared_ptr<IntelCPU> cpu() { return IntelCPU::create(*directory); }

    // The selector-1 calls since the last clear.
    std::vector<CallLog::Call> batches() const
    {
        std::vector<CallLog::Call> result;
        for (const auto& call : log->calls())
            if (call.selector == vennix::kAccessorMethodGetMSRs)
                result.push_back(call);
        return result;
    }

    vennix::IOLogCapture logLines; // first: outlives the services when nothing else holds them
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    ScriptedProcessor* processor = nullptr;
    vennix::ManualClock* clock = nullptr;
    std::shared_ptr<CountingDirectory> directory;

private:
    // What the embedded directory and its connections keep alive; the services go first.
    struct Owner {
        Owner(unsigned cpus, unsigned cores, unsigned threads)
            : processor(cpus, cores, threads)
        {
        }
        ScriptedProcessor processor;
        vennix::ManualClock clock{1600000000, 0};
        std::unique_ptr<vennix::ServiceSet> set;
    };
};

} // namespace qarn::test
