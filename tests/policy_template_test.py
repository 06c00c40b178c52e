"""The Group Policy template administrators import: well-formed XML whose
policies write exactly the key and values the service reads, and whose every
text and presentation the English resources define."""

import os
import re
import unittest
import xml.etree.ElementTree as ET

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NS = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}


def policy_names():
    """The key and value names update/update_policy.h declares."""
    with open(os.path.join(TOP, "update", "update_policy.h"), encoding="utf-8") as f:
        header = f.read()
    names = dict(re.findall(r'inline constexpr wchar_t (kPolicy\w+)\[\] = L"([^"]*)"', header))
    names["kPolicyKeyPath"] = names["kPolicyKeyPath"].replace("\\\\", "\\")
    return names


class PolicyTemplateTest(unittest.TestCase):
    def setUp(self):
        self.admx = ET.parse(os.path.join(TOP, "policy", "kestrelGATE-AutoUpdate.admx")).getroot()
        self.adml = ET.parse(os.path.join(TOP, "policy", "en-US",
                                          "kestrelGATE-AutoUpdate.adml")).getroot()

    def test_policies_write_the_key_and_values_the_service_reads(self):
        names = policy_names()
        policies = {p.get("name"): p for p in self.admx.findall("p:policies/p:policy", NS)}
        self.assertEqual(set(policies), {"UpdatesDisabled", "AllowedHosts", "AllowedArguments",
                                         "AllowDowngrade"})
        for policy in policies.values():
            self.assertEqual(policy.get("key"), names["kPolicyKeyPath"], policy.get("name"))
            self.assertEqual(policy.get("class"), "Machine")
        for name, constant in (("UpdatesDisabled", "kPolicyUpdatesDisabled"),
                               ("AllowDowngrade", "kPolicyAllowDowngrade")):
            switch = policies[name]
            self.assertEqual(switch.get("valueName"), names[constant], name)
            self.assertEqual(switch.find("p:enabledValue/p:decimal", NS).get("value"), "1", name)
        for name, constant in (("AllowedHosts", "kPolicyAllowedHosts"),
                               ("AllowedArguments", "kPolicyAllowedArguments")):
            lists = policies[name].findall("p:elements/p:multiText", NS)
            self.assertEqual([e.get("valueName") for e in lists], [names[constant]], name)

    def test_every_text_and_presentation_is_defined_in_english(self):
        strings = {s.get("id") for s in self.adml.findall("p:resources/p:stringTable/p:string", NS)}
        presentations = {p.get("id"): p for p in
                         self.adml.findall("p:resources/p:presentationTable/p:presentation", NS)}
        for element in self.admx.iter():
            for attribute in ("displayName", "explainText", "presentation"):
                value = element.get(attribute)
                if not value:
                    continue
                kind, _, name = value.strip("$()").partition(".")
                if kind == "string":
                    self.assertIn(name, strings, value)
                else:
                    self.assertIn(name, presentations, value)
                    refs = {b.get("refId") for b in presentations[name]}
                    ids = {e.get("id") for e in element.findall("p:elements/*", NS)}
                    self.assertEqual(refs, ids, name)


if __name__ == "__main__":
    unittest.main()
