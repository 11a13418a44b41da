# Tests of MorvexLocalize arrive here.
