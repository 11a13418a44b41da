# Tests of MorvexFileLog arrive here.
