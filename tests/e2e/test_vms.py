"""Hyper-V's VMs through the stand-in for Windows PowerShell: --list-vms,
--attach-vm and --detach-vm as the user runs them, what reaches the reader
(and what never does: a VM's name in its command line), a reader that hangs,
and the one entry naming the VM of a pipe that is missing."""

import base64
import json
import os
import unittest

from harness import (CHANGE_SETTINGS, DEFAULT_STORE, LOOKING_FOR_PIPE, NO_VM_HAS_PIPE, OK,
                     POWERSHELL_ARGS, PTY_STORE, SET_PIPE_NAME, SET_VIRTUAL_MACHINE,
                     SETTINGS_DIALOG, USE_ITS_PIPE, VM_ATTACH, VM_DIALOG, VM_PORTS, E2ETestCase,
                     hyperv_vm, start_connected, wait_for, write_store)
from test_recovery import RETRY_PERIOD, RecoveryTestCase

OURS, OTHER, LAB = r"\\.\pipe\Vantrel", r"\\.\pipe\other", r"\\.\pipe\lab"
ODD_NAME = 'lab "1" \u00e9t\u00e9 \U0001F600'


class VmCommands(E2ETestCase):
    def run_ok(self, *args, code=0):
        exit_code, text = self.session.command(*args)
        self.assertEqual(exit_code, code, text)
        return text.rstrip("\r\n")

    def test_list_attach_refuse_force_and_detach_pass_everything_as_data(self):
        write_store(self.driver, DEFAULT_STORE)
        odd, lab = hyperv_vm(ODD_NAME, "Running", com1=OURS), hyperv_vm("lab-2", com2=OTHER)
        self.session.hyperv([odd, lab])

        self.assertEqual(self.run_ok("--list-vms"),
                         f"VM '{ODD_NAME}'  Running  generation 2\r\n"
                         f"  COM 1: {OURS}  <- bridge (default)\r\n  COM 2: (not set)\r\n"
                         f"VM 'lab-2'  Off  generation 2\r\n  COM 1: (not set)\r\n"
                         f"  COM 2: {OTHER}")
        listed = json.loads(self.run_ok("--list-vms", "--json"))
        self.assertEqual([vm["name"] for vm in listed], [ODD_NAME, "lab-2"])
        self.assertEqual([port["bridge"] for port in listed[0]["comPorts"]], ["", None])

        refusal = self.run_ok("--attach-vm", "lab-2", "--com", "2", code=1)
        self.assertEqual(refusal, f"COM 2 of VM 'lab-2' is set to {OTHER}; give --force to set "
                                  f"it to {OURS} instead.")
        self.assertEqual([r["VANTREL_REQUEST"] for r in self.session.hyperv_requests()],
                         ["list"] * 3, "a refusal changes nothing")

        self.assertEqual(self.run_ok("--attach-vm", "LAB-2", "--com", "2", "--force"),
                         f"COM 2 of VM 'lab-2' is now set to {OURS}, the pipe of the default "
                         f"bridge.")
        self.assertIn("already", self.run_ok("--attach-vm", ODD_NAME))
        self.assertEqual(self.run_ok("--detach-vm", ODD_NAME),
                         f"COM 1 of VM '{ODD_NAME}' is no longer set to {OURS}. The VM is "
                         f"Running: the change takes effect as Hyper-V applies it.")
        changes = [r for r in self.session.hyperv_requests() if r["VANTREL_REQUEST"] == "set"]
        self.assertEqual([(r["VANTREL_VM_ID"], r["VANTREL_COM"], r["VANTREL_PIPE_PATH"])
                          for r in changes], [(lab["Id"], "2", OURS), (odd["Id"], "1", "")])
        for request in self.session.hyperv_requests():
            self.assertEqual(request["args"][:-1], POWERSHELL_ARGS)
            script = base64.b64decode(request["args"][-1]).decode("utf-16-le")
            self.assertIn("$env:VANTREL_VM_ID", script)
            self.assertNotIn("lab", script)

        self.assertIn("Hyper-V has no VM named 'lab'", self.run_ok("--detach-vm", "lab", code=1))

    def test_a_hung_reader_is_ended_and_a_missing_or_refusing_hyper_v_is_named(self):
        for behaviour, said in (
                ("hang", "Hyper-V did not answer within 10 seconds."),
                ("absent", "Hyper-V is not installed on this computer"),
                ("denied", "only administrators and members of Hyper-V Administrators")):
            with self.subTest(behaviour=behaviour):
                self.session.hyperv(behaviour=behaviour)
                self.assertIn(said, self.run_ok("--list-vms", code=1))
        # The hung one is not left behind.
        prefix = str(self.session.prefix).encode()
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/environ", "rb") as environ:
                    ours = b"WINEPREFIX=" + prefix + b"\0" in environ.read()
                with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                    self.assertFalse(ours and b"powershell" in cmdline.read().lower(), pid)
            except OSError:
                continue


class SettingsDialogButton(E2ETestCase):
    def test_a_chosen_port_gives_its_pipe_name_or_is_attached_after_asking(self):
        other = hyperv_vm("b", "Running", com2=OTHER)
        self.session.hyperv([hyperv_vm("lab-1", com1=LAB), other])
        _, _, vantrel = start_connected(self.session, PTY_STORE)
        self.driver.click(vantrel.status_window(), CHANGE_SETTINGS)
        settings = vantrel.wait_window(SETTINGS_DIALOG)

        def choose(index):
            self.driver.click(settings, SET_VIRTUAL_MACHINE)
            dialog = vantrel.wait_window(VM_DIALOG)

            def listed():
                entries = self.driver.combo(dialog, VM_PORTS)[1]
                return len(entries) == 4, entries
            self.assertEqual(wait_for("Hyper-V's VMs in the list", listed),
                             [f"lab-1 (Off), COM 1: {LAB}", "lab-1 (Off), COM 2: (not set)",
                              "b (Running), COM 1: (not set)", f"b (Running), COM 2: {OTHER}"])
            self.screenshot(f"vm-dialog-{index}")
            self.driver.combo_select(dialog, VM_PORTS, index)
            return dialog

        dialog = choose(0)
        self.driver.click(dialog, USE_ITS_PIPE)
        vantrel.wait_window_gone(dialog)
        self.assertEqual(self.driver.text(settings, SET_PIPE_NAME), "lab")

        dialog = choose(3)
        self.driver.click(dialog, VM_ATTACH)
        question = vantrel.wait_box("Virtual machine")
        self.assertEqual(question.text, f"COM 2 of VM 'b' is set to {OTHER}. Set it to {LAB} instead?")
        vantrel.press_box(question, "Yes")
        done = vantrel.wait_box("Virtual machine")
        self.assertEqual(done.text, f"COM 2 of VM 'b' is now set to {LAB}. The VM is Running: the "
                                    "change takes effect as Hyper-V applies it.")
        vantrel.press_box(done, OK)
        vantrel.wait_window_gone(dialog)
        change = self.session.hyperv_requests()[-1]
        self.assertEqual((change["VANTREL_REQUEST"], change["VANTREL_VM_ID"], change["VANTREL_COM"],
                          change["VANTREL_PIPE_PATH"]), ("set", other["Id"], "2", LAB))


class PipeDiagnosis(RecoveryTestCase):
    def test_one_entry_per_loss_naming_the_off_vm_then_no_vm(self):
        port, vm, vantrel = start_connected(self.session, PTY_STORE)
        for vms, entry in (([hyperv_vm("lab-1", com1=OURS)],
                            "The pipe belongs to VM 'lab-1' (COM 1), which is Off\r\n"),
                           ([], NO_VM_HAS_PIPE.format("Vantrel"))):
            self.session.hyperv(vms)
            vm.kill()
            vantrel.wait_status_line(LOOKING_FOR_PIPE)
            vantrel.wait_messages_contain(entry)
            # More retries than one: the entry and the question are not repeated.
            asked = len(self.session.hyperv_requests())
            self.assertPipeStaysAbsent(vantrel, 2 * RETRY_PERIOD + 1)
            self.assertEqual(vantrel.messages().count(entry), 1)
            self.assertEqual(len(self.session.hyperv_requests()), asked)
            vm = self.session.vm("Vantrel")
            vm.wait_client()
        self.assertEqual(len(self.session.hyperv_requests()), 2)


if __name__ == "__main__":
    unittest.main()
