# The zip archive writer arrives here (SimpleZip over minizip).
