"""Send mail through corvenda.mailer from a fleet of Celery workers over Redis.

``mailqueue.config``  settings from environment variables
``mailqueue.retry``   which failures are worth another attempt, and when
``mailqueue.tasks``   the Celery app and the tasks ``mail.send`` and ``mail.send_template``
"""
