#!/usr/bin/python3
# Prints a dBase table as another program reads it (python3-dbfread): one line per
# record, a blank for a live one and "*" for a deleted one, then the fields as
# name=value separated by "|".
import sys
from dbfread import DBF

table = DBF(sys.argv[1], load=True, char_decode_errors='replace')
def show(flag, record):
    print(flag + '|'.join('%s=%s' % (k, '' if v is None else v) for k, v in record.items()))
for record in table.records:
    show(' ', record)
for record in table.deleted:
    show('*', record)
