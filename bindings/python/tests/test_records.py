"""The records match the C layout byte for byte, and the library agrees."""

import ctypes
import struct
import unittest
from unittest import mock

import tarnwick
from tarnwick import _records as rec

# Offsets of each record's fields as the C header lays them out.
LAYOUT = {
    rec.ConfigRecord: (
        32,
        {"size": 4, "reserved": 12, "warmup_seconds": 16, "measure_seconds": 24},
    ),
    rec.ResultRecord: (
        88,
        {
            "threads": 12,
            "mean_rate": 16,
            "cv_percent": 48,
            "operations": 56,
            "sample_count": 72,
            "unstable": 80,
            "has_cv": 84,
        },
    ),
    rec.SampleRecord: (32, {"duration": 8, "operations": 16, "rate": 24}),
    rec.ProgressRecord: (40, {"threads": 4, "progress": 8, "phase_seconds": 24, "operations": 32}),
}


class RecordLayout(unittest.TestCase):
    def test_sizes_and_offsets_match_the_header(self) -> None:
        for record, (size, offsets) in LAYOUT.items():
            with self.subTest(record=record.__name__):
                self.assertEqual(ctypes.sizeof(record), size)
                for field, offset in offsets.items():
                    self.assertEqual(getattr(record, field).offset, offset, field)

    def test_a_wrong_size_fails_the_import_check(self) -> None:
        with mock.patch.dict(rec.RECORD_SIZES, {rec.ResultRecord: 80}):
            with self.assertRaisesRegex(ImportError, "ResultRecord is 88 bytes.*expects 80"):
                rec.check_record_sizes()

    def test_library_default_config_reads_back_as_the_documented_bytes(self) -> None:
        library = tarnwick.load_library()
        config = rec.ConfigRecord()
        ctypes.memset(ctypes.byref(config), 0xFF, ctypes.sizeof(config))
        self.assertEqual(library.c.tarnwick_default_config(ctypes.byref(config)), 1)
        self.assertEqual(bytes(config), struct.pack("<4I2d", 1, 32, 1, 0, 120.0, 60.0))
        self.assertEqual(library.c.tarnwick_default_config(None), 0)


if __name__ == "__main__":
    unittest.main()
