# Tests of MorvexIO arrive here.
