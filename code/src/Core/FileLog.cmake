# The reporter's log file arrives here.
