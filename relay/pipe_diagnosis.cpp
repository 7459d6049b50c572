#include "relay/pipe_diagnosis.h"

#include "pipe/hyperv_reader.h"

namespace {

bool IsPipeMissing(const wchar_t* path) {
    return !WaitNamedPipeW(path, 1) && GetLastError() == ERROR_FILE_NOT_FOUND;
}

void SetFinding(PipeDiagnosis& diagnosis, const std::wstring& finding) {
    AcquireSRWLockExclusive(&diagnosis.findingLock);
    CopyText(diagnosis.finding, kDiagnosisCapacity, finding.c_str());
    ReleaseSRWLockExclusive(&diagnosis.findingLock);
}

}  // namespace

void CALLBACK RunPipeDiagnosis(PTP_CALLBACK_INSTANCE, PVOID argument, PTP_WORK) {
    PipeDiagnosis& diagnosis = *static_cast<PipeDiagnosis*>(argument);
    if (IsPipeMissing(diagnosis.pipePath)) {
        const HyperVOutcome outcome = ReadHyperV(diagnosis.stop);
        std::wstring entry;
        if (outcome.result == HyperVResult::Done) {
            if (IsPipeMissing(diagnosis.pipePath)) {
                entry = MissingPipeText(outcome.vms, diagnosis.pipePath);
            }
        } else if (outcome.result != HyperVResult::Cancelled) {
            entry = L"Couldn't ask Hyper-V which VM the pipe belongs to: " +
                    HyperVProblemText(outcome.result, outcome.detail);
        }
        SetFinding(diagnosis, entry);
        if (!entry.empty()) {
            AppendLogEntry(*diagnosis.status, (entry + L"\r\n").c_str());
        }
    }
    // The last touch of the record: its owner waits for this callback's end.
    diagnosis.running.store(false);
}

void DiagnoseMissingPipe(PipeDiagnosis& diagnosis, StatusClient& status, const wchar_t* pipePath,
                         HANDLE stop) {
    if (!diagnosis.work.IsOpen() || diagnosis.running.exchange(true)) {
        return;
    }
    SetFinding(diagnosis, L"");
    diagnosis.status = &status;
    CopyText(diagnosis.pipePath, kPipePathCapacity, pipePath);
    diagnosis.stop = stop;
    SubmitThreadpoolWork(diagnosis.work.Get());
}

void WaitForPipeDiagnosis(PipeDiagnosis& diagnosis) {
    if (diagnosis.work.IsOpen()) {
        WaitForThreadpoolWorkCallbacks(diagnosis.work.Get(), FALSE);
    }
}

std::wstring PipeDiagnosisFinding(const PipeDiagnosis& diagnosis) {
    AcquireSRWLockShared(&diagnosis.findingLock);
    std::wstring finding = diagnosis.finding;
    ReleaseSRWLockShared(&diagnosis.findingLock);
    return finding;
}
