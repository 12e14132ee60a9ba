"""The Python tools of the Halcyon EDR Generator: hlc_edr_batch (batch runs
of hlc_edr through GNU parallel, with a summary and a report page) and
hlc_edr_quicklook (one PNG per product of an EDR). The launchers of the same
names call hlc_edr.batch.main and hlc_edr.quicklook.main."""
