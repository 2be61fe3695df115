"""Reads the library's trace files (pt_vector.log, pdu_trace.log) and makes a
transfer table, a Vector ASC/BLF bus log and a timeline picture of them."""
