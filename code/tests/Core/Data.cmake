# Tests of MorvexData arrive here.
